// The chart's drawing tools, per member. 45 stores one complete tool and answers the byte 1
// (0: no session, not a complete tool, the member's tools are at their limit, or the store
// refused). 46 answers the member's tools in the order they were stored (none without a
// session). 47 removes the member's tools of the instrument (offset 4) and period (offset 12)
// of its record and answers the byte 1 (0 without a session or when the store refuses). A
// record cut short closes the connection and changes nothing.
#include "server/links/handlers.h"
#include "server/market/tools.h"

namespace zq::server {
namespace {

std::string Where(const ToolLineRecord& r) {
    return std::to_string(r.instrument) + "/" + std::to_string(r.period);
}

Next Store45(RequestContext& ctx) {
    ToolLineRecord record;
    if (!ctx.ReadRecord(record)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    if (!session) return AnswerValue(ctx, std::uint8_t{0}, "store tool: no session");
    const ToolStoreResult result = StoreTool(*ctx.State().store, session->memberId, record);
    const char* why = "";
    switch (result) {
        case ToolStoreResult::Stored:
            why = "stored";
            break;
        case ToolStoreResult::Incomplete:
            why = "refused, not a complete tool";
            break;
        case ToolStoreResult::Full:
            why = "refused, the member's tools are full";
            break;
        case ToolStoreResult::Failed:
            why = "store failed";
            break;
    }
    const std::uint8_t answer = result == ToolStoreResult::Stored ? 1 : 0;
    return AnswerValue(ctx, answer, "store tool " + Where(record) + " " + why);
}

Next Load46(RequestContext& ctx) {
    return AnswerMemberList<ToolLineRecord>(ctx, "tools", [&](std::int64_t member) {
        return LoadTools(*ctx.State().store, member).value_or(std::vector<ToolLineRecord>{});
    });
}

Next Delete47(RequestContext& ctx) {
    ToolLineRecord record;
    if (!ctx.ReadRecord(record)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    if (!session) return AnswerValue(ctx, std::uint8_t{0}, "delete tools: no session");
    const std::optional<int> removed =
        DeleteTools(*ctx.State().store, session->memberId, record.instrument, record.period);
    const std::uint8_t answer = removed ? 1 : 0;
    return AnswerValue(ctx, answer,
                       "delete tools " + Where(record) + " " +
                           (removed ? std::to_string(*removed) + " removed" : "store failed"));
}

}  // namespace

void RegisterToolCommands(CommandTable& table) {
    table.Add(cmd::StoreTool, "store tool", sizeof(ToolLineRecord), Store45);
    table.Add(cmd::LoadTools, "load tools", 0, Load46);
    table.Add(cmd::DeleteTools, "delete tools", sizeof(ToolLineRecord), Delete47);
}

}  // namespace zq::server
