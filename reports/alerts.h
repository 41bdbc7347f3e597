// The main frame's two alert lists and their loading from the server.
#pragma once

#include <mutex>
#include <vector>

#include "net/wire/socket.h"
#include "reports/wire/alert_records.h"

namespace zq {

// One alert list of the main frame, in server order. Read by the quote thread, changed by the
// user-interface thread: every access takes its lock.
template <typename Record>
class AlertList {
  public:
    std::vector<Record> Copy() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    void Replace(std::vector<Record> items) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_ = std::move(items);
    }
    std::mutex& Mutex() const { return mutex_; }
    std::vector<Record>& Items() { return items_; }  // with Mutex() held

  private:
    mutable std::mutex mutex_;
    std::vector<Record> items_;
};

// Loads a list (`cmd::LoadPriceAlerts` and `cmd::LoadProfitAlerts`) on an open connection: the
// header, the count, then the records. A positive count clears the list and appends every record
// that arrives whole; a count of 0 or less leaves the list as it was, and so does a count above the
// list cap, which also shuts the connection. False when the exchange broke off or was refused.
bool LoadPriceAlerts(Socket& s, AlertList<PriceAlertRecord>& list);
bool LoadProfitAlerts(Socket& s, AlertList<ProfitAlertRecord>& list);

}  // namespace zq
