// The orders of a member: command 11 opens a position at the market or places a pending order;
// 13 sets a position's stops, 18 closes it at the market; 14 changes a waiting order, 15
// deletes it. The execution engine (execution.h) checks and carries them out; the connection
// awaits the commit of the group that holds the change without holding a thread. Without a
// session nothing happens and the answer is the refusal of each command.
#include "server/links/handlers.h"
#include "server/links/link_io.h"
#include "server/trading/account_records.h"

namespace zq::server {
namespace {

// Reads the request, has the engine run it for the caller's member and answers its int32 code;
// 0 without a session.
template <typename Request, typename Start>
asio::awaitable<Next> AnswerCode(RequestContext& ctx, std::string what, Start start) {
    Request request;
    if (!ctx.ReadRecord(request)) co_return Next::Close;
    const std::optional<SessionInfo> session = ctx.Session();
    if (!session) co_return AnswerValue(ctx, order_refusal::NoSession, what + ": no session");
    ExecutionEngine& engine = ctx.State().engine;
    const ExecutionEngine::Answer answer = co_await AwaitAnswer<ExecutionEngine::Answer>(
        [&](ExecutionEngine::Done done) { start(engine, session->memberId, request, done); });
    co_return AnswerValue(ctx, answer.code,
                          what + " -> " + std::to_string(answer.code) + " " + answer.note);
}

// 11: the 36-byte order.
asio::awaitable<Next> OpenOrder(RequestContext& ctx) {
    return AnswerCode<OpenOrderRequest>(
        ctx, "open order",
        [](ExecutionEngine& e, std::int64_t m, const auto& r, ExecutionEngine::Done done) {
            e.Open(m, r, std::move(done));
        });
}

// 13: the 32-byte new stops; the answer is the position record, 272 zero bytes when refused.
asio::awaitable<Next> ModifyStops(RequestContext& ctx) {
    ModifyStopsRequest request;
    if (!ctx.ReadRecord(request)) co_return Next::Close;
    PositionRecord answer{};
    std::string note = "no session";
    if (const std::optional<SessionInfo> session = ctx.Session()) {
        ServerState& state = ctx.State();
        using Changed = std::pair<std::optional<PositionRow>, std::string>;
        Changed changed = co_await AwaitAnswer<Changed>([&](std::function<void(Changed)> done) {
            state.engine.ModifyStops(session->memberId, request,
                                     [done](std::optional<PositionRow> row, std::string why) {
                                         done({std::move(row), std::move(why)});
                                     });
        });
        note = std::move(changed.second);
        if (changed.first)
            answer = MakePositionRecord(*changed.first,
                                        state.market.QuotedRecord(changed.first->instrument));
    }
    co_return AnswerValue(
        ctx, answer,
        std::string("modify stops -> ") + (answer.ticket[0] ? "" : "refused: ") + note);
}

// 18: the 256-byte close request.
asio::awaitable<Next> ClosePosition(RequestContext& ctx) {
    return AnswerCode<PendingOrderRecord>(
        ctx, "close position",
        [](ExecutionEngine& e, std::int64_t m, const auto& r, ExecutionEngine::Done done) {
            e.Close(m, r, std::move(done));
        });
}

// 14: the order's 256-byte record with its new terms.
asio::awaitable<Next> ModifyOrder(RequestContext& ctx) {
    return AnswerCode<PendingOrderRecord>(
        ctx, "modify order",
        [](ExecutionEngine& e, std::int64_t m, const auto& r, ExecutionEngine::Done done) {
            e.ModifyOrder(m, r, std::move(done));
        });
}

// 15: the first 30 bytes of the order's record (number, padding, instrument, two bytes of its
// name) from the chart, or the order number alone, zero-padded, from the report page (instrument
// 0: any); the answer is the int32 1 when it was deleted, 0 otherwise.
asio::awaitable<Next> DeleteOrder(RequestContext& ctx) {
    char request[kDeleteOrderRequestSize];
    if (!ctx.ReadPayload(request, static_cast<int>(sizeof request))) co_return Next::Close;
    constexpr std::size_t kInstrumentOffset = offsetof(PendingOrderRecord, instrument);
    std::int32_t instrument = 0;
    std::memcpy(&instrument, request + kInstrumentOffset, sizeof instrument);
    // A number longer than its field runs into the instrument's bytes: it names no order.
    const std::string number(request, strnlen(request, sizeof request));
    if (number.size() > kInstrumentOffset) instrument = 0;
    const std::optional<SessionInfo> session = ctx.Session();
    ExecutionEngine::Answer answer{0, "no session"};
    if (session)
        answer = co_await AwaitAnswer<ExecutionEngine::Answer>([&](ExecutionEngine::Done done) {
            ctx.State().engine.DeleteOrder(session->memberId, number, instrument, std::move(done));
        });
    co_return AnswerValue(ctx, answer.code,
                          "delete order -> " + std::to_string(answer.code) + " " + answer.note);
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
