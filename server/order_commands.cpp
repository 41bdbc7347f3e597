// The orders of a member: command 11 opens a position at the market or places a pending order.
// The execution engine (execution.h) checks and carries them out; without a session the answer
// is 0 and nothing happens.
#include "server/handlers.h"

namespace zq::server {
namespace {

// 11: the 36-byte order; the answer is one int32 code.
Next OpenOrder(RequestContext& ctx) {
    OpenOrderRequest request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    const std::optional<SessionInfo> session = ctx.Session();
    if (!session) return AnswerValue(ctx, order_refusal::NoSession, "open order: no session");
    std::string note;
    const std::int32_t result = ctx.State().engine.Open(session->memberId, request, &note);
    return AnswerValue(ctx, result, "open order -> " + std::to_string(result) + " " + note);
}

}  // namespace

void RegisterOrderCommands(CommandTable& table) {
    table.Add(cmd::OpenOrder, "open order", OpenOrder);
}

}  // namespace zq::server
