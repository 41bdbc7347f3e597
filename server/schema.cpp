// The server's schema: the tables of every part of the server, as steps in order. A database at
// version N has had the first N applied. A later feature appends its step here and never
// changes an earlier one.
#include "server/links/session_store.h"
#include "server/market/bars.h"
#include "server/market/signal_flags.h"
#include "server/market/tools.h"
#include "server/store/store.h"
#include "server/trading/account_rows.h"
#include "server/trading/alerts.h"
#include "server/trading/messages.h"
#include "server/trading/program_trading.h"

namespace zq::server {
namespace {

constexpr SchemaStep kSchema[] = {
    CreateMembers,              // store/store.cpp
    CreateAccountTables,        // trading/account_rows.cpp
    CreateAlertTables,          // trading/alerts.cpp
    CreateMessageTables,        // trading/messages.cpp
    CreateBarTables,            // market/bars.cpp
    CreateSessionTable,         // links/session_store.cpp
    CreateSignalFlagTable,      // market/signal_flags.cpp
    CreateFillTable,            // trading/account_rows.cpp
    CreateProgramTradingTable,  // trading/program_trading.cpp
    CreateToolTable,            // market/tools.cpp
    HashSessionKeys,            // links/session_store.cpp
};

}  // namespace

std::unique_ptr<Store> Store::Open(const std::string& path, std::string* error, bool demoMembers) {
    return OpenWith(path, kSchema, error, demoMembers);
}

}  // namespace zq::server
