#include "reports/alerts.h"

#include "net/wire/request.h"

namespace zq {
namespace {

template <typename Record>
bool Load(Socket& s, std::int32_t command, AlertList<Record>& list) {
    if (!SendRequest(s, MakeHeader(command))) return false;
    std::vector<Record> records;
    ListResult r = ReadCountedList(s, records);
    // A record cut short ends the connection, so nothing follows it to go on with.
    if (r.announced > 0 && !r.refused) list.Replace(std::move(records));
    return r.complete;
}

}  // namespace

bool LoadPriceAlerts(Socket& s, AlertList<PriceAlertRecord>& list) {
    return Load(s, cmd::LoadPriceAlerts, list);
}

bool LoadProfitAlerts(Socket& s, AlertList<ProfitAlertRecord>& list) {
    return Load(s, cmd::LoadProfitAlerts, list);
}

}  // namespace zq
