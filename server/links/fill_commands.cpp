// 19: the caller's fills of a date range and instrument filter (fills.h), answered as the int32
// count, that many 224-byte fill records and the 12-byte period summary. Without a session the
// answer is a count of 0 and a zero summary; a query cut short closes the connection.
#include <cstring>

#include "server/links/handlers.h"
#include "server/trading/fills.h"

namespace zq::server {
namespace {

Next LoadFills19(RequestContext& ctx) {
    FillQuery query;
    if (!ctx.ReadRecord(query)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    FillAnswer answer;
    if (session) answer = QueryFills(*ctx.State().store, session->memberId, query);
    const std::int32_t count = static_cast<std::int32_t>(answer.records.size());
    std::vector<char> bytes(sizeof count + answer.records.size() * sizeof(FillRecord) +
                            sizeof(FillSummary));
    std::memcpy(bytes.data(), &count, sizeof count);
    if (!answer.records.empty())
        std::memcpy(bytes.data() + sizeof count, answer.records.data(),
                    answer.records.size() * sizeof(FillRecord));
    std::memcpy(bytes.data() + bytes.size() - sizeof(FillSummary), &answer.summary,
                sizeof(FillSummary));
    if (!ctx.Send(bytes.data(), bytes.size())) return Next::Close;
    ctx.Note(session ? std::to_string(count) + " fills, filter " + std::to_string(query.instrument)
                     : std::string("fills: no session"));
    return Next::Continue;
}

}  // namespace

void RegisterFillCommands(CommandTable& table) {
    table.Add(cmd::LoadFills, "load fills", sizeof(FillQuery), LoadFills19);
}

}  // namespace zq::server
