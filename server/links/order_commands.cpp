// The orders of a member: command 11 opens a position at the market or places a pending order;
// 13 sets a position's stops, 18 closes it at the market; 14 changes a waiting order, 15
// deletes it. The execution engine (execution.h) checks and carries them out; without a
// session nothing happens and the answer is the refusal of each command.
#include "server/links/handlers.h"
#include "server/trading/account_records.h"

namespace zq::server {
namespace {

// Reads the request, has the engine run it for the caller's member and answers its int32 code;
// 0 without a session.
template <typename Request, typename Run>
Next AnswerCode(RequestContext& ctx, const std::string& what, Run&& run) {
    Request request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    const std::optional<SessionInfo> session = ctx.Session();
    if (!session) return AnswerValue(ctx, order_refusal::NoSession, what + ": no session");
    std::string note;
    const std::int32_t result = run(ctx.State().engine, session->memberId, request, &note);
    return AnswerValue(ctx, result, what + " -> " + std::to_string(result) + " " + note);
}

// 11: the 36-byte order.
Next OpenOrder(RequestContext& ctx) {
    return AnswerCode<OpenOrderRequest>(
        ctx, "open order", [](ExecutionEngine& e, std::int64_t m, const auto& r, std::string* n) {
            return e.Open(m, r, n);
        });
}

// 13: the 32-byte new stops; the answer is the position record, 272 zero bytes when refused.
Next ModifyStops(RequestContext& ctx) {
    ModifyStopsRequest request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    PositionRecord answer{};
    std::string note = "no session";
    if (const std::optional<SessionInfo> session = ctx.Session()) {
        ServerState& state = ctx.State();
        if (const std::optional<PositionRow> row =
                state.engine.ModifyStops(session->memberId, request, &note))
            answer = MakePositionRecord(*row, state.market.QuotedRecord(row->instrument));
    }
    return AnswerValue(
        ctx, answer,
        std::string("modify stops -> ") + (answer.ticket[0] ? "" : "refused: ") + note);
}

// 18: the 256-byte close request.
Next ClosePosition(RequestContext& ctx) {
    return AnswerCode<PendingOrderRecord>(ctx, "close position",
                                          [](ExecutionEngine& e, std::int64_t m, const auto& r,
                                             std::string* n) { return e.Close(m, r, n); });
}

// 14: the order's 256-byte record with its new terms.
Next ModifyOrder(RequestContext& ctx) {
    return AnswerCode<PendingOrderRecord>(
        ctx, "modify order", [](ExecutionEngine& e, std::int64_t m, const auto& r, std::string* n) {
            return e.ModifyOrder(m, r, n);
        });
}

// 15: the first 30 bytes of the order's record (number, padding, instrument, two bytes of its
// name) from the chart, or the order number alone, zero-padded, from the report page (instrument
// 0: any); the answer is the int32 1 when it was deleted, 0 otherwise.
Next DeleteOrder(RequestContext& ctx) {
    char request[kDeleteOrderRequestSize];
    if (!ctx.ReadPayload(request, static_cast<int>(sizeof request))) return Next::Close;
    constexpr std::size_t kInstrumentOffset = offsetof(PendingOrderRecord, instrument);
    std::int32_t instrument = 0;
    std::memcpy(&instrument, request + kInstrumentOffset, sizeof instrument);
    // A number longer than its field runs into the instrument's bytes: it names no order.
    const std::string number(request, strnlen(request, sizeof request));
    if (number.size() > kInstrumentOffset) instrument = 0;
    const std::optional<SessionInfo> session = ctx.Session();
    std::string note = "no session";
    const bool deleted =
        session && ctx.State().engine.DeleteOrder(session->memberId, number, instrument, &note);
    const std::int32_t answer = deleted ? 1 : 0;
    return AnswerValue(ctx, answer, "delete order -> " + std::to_string(answer) + " " + note);
}

}  // namespace

void RegisterOrderCommands(CommandTable& table) {
    table.Add(cmd::OpenOrder, "open order", sizeof(OpenOrderRequest), OpenOrder);
    table.Add(cmd::ModifyPosition, "modify stops", sizeof(ModifyStopsRequest), ModifyStops);
    table.Add(cmd::ClosePosition, "close position", sizeof(PendingOrderRecord), ClosePosition);
    table.Add(cmd::ModifyPending, "modify order", sizeof(PendingOrderRecord), ModifyOrder);
    table.Add(cmd::DeletePending, "delete order", kDeleteOrderRequestSize, DeleteOrder);
}

}  // namespace zq::server
