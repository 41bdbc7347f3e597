// Price and profit alerts as the server stores them, and their loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "net/socket.h"

namespace zq {

#pragma pack(push, 1)
struct PriceAlertRecord {
    std::int32_t id;  // > 0 for a stored alert; 0 in a creation request
    std::uint8_t unused4[12];
    double target;
    std::int32_t condition;  // 1 ">=", 2 "<="
    std::int32_t instrument;
    std::int32_t mode;  // 0 in a creation request, 2 in a deletion by the user
    std::int32_t unused36;
};

struct ProfitAlertRecord {
    std::uint8_t unused0[8];
    std::int32_t condition;  // 1 ">=", 2 "<="
    std::uint8_t unused12[100];
    double target;
};
#pragma pack(pop)
static_assert(sizeof(PriceAlertRecord) == 40);
static_assert(offsetof(PriceAlertRecord, target) == 16);
static_assert(offsetof(PriceAlertRecord, condition) == 24);
static_assert(offsetof(PriceAlertRecord, instrument) == 28);
static_assert(offsetof(PriceAlertRecord, mode) == 32);
static_assert(sizeof(ProfitAlertRecord) == 120);
static_assert(offsetof(ProfitAlertRecord, condition) == 8);
static_assert(offsetof(ProfitAlertRecord, target) == 112);

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

// Loads a list (commands 8 and 56) on an open connection: the header, the count, then the
// records. A positive count clears the list and appends every record that arrives whole; a
// count of 0 or less leaves the list as it was. False when the exchange broke off.
bool LoadPriceAlerts(Socket& s, AlertList<PriceAlertRecord>& list);
bool LoadProfitAlerts(Socket& s, AlertList<ProfitAlertRecord>& list);

}  // namespace zq
