// The account queries: the instrument list, positions, pending orders, the position summary,
// the account block and the trading hours. Without a session the lists are empty and the block
// is zero; the instrument list and the trading hours are the same for everyone.
#include <cstring>

#include "server/links/handlers.h"

namespace zq::server {
namespace {

// The trading day runs from 00:00 to 24:00 Beijing time, each as hour x 100 + minute; the
// answer carries them as first x 10000 + second.
constexpr std::int32_t kDayOpens = 0;
constexpr std::int32_t kDayCloses = 2400;

// 1: every instrument of the catalogue at its current price.
Next Instruments(RequestContext& ctx) {
    std::vector<InstrumentRecord> records;
    for (const InstrumentRules& rules : Catalogue())
        records.push_back(ctx.State().market.QuotedRecord(rules.id));
    if (!SendList(ctx, records)) return Next::Close;
    ctx.Note(std::to_string(records.size()) + " instruments");
    return Next::Continue;
}

// 16: the open positions that the 44-byte filter selects (all of them for zero bytes).
Next Positions(RequestContext& ctx) {
    LoadPositionsRequest request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    return AnswerMemberList<PositionRecord>(ctx, "positions", [&](std::int64_t member) {
        return ctx.State().accounts.Positions(member, PositionFilter::From(request));
    });
}

// 17: the pending orders that the 56-byte filter selects (the client asks for the waiting
// ones).
Next Orders(RequestContext& ctx) {
    LoadOrdersRequest request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    return AnswerMemberList<PendingOrderRecord>(ctx, "orders", [&](std::int64_t member) {
        return ctx.State().accounts.Orders(member, OrderFilter::From(request));
    });
}

// 20: one line per instrument and direction.
Next Summary(RequestContext& ctx) {
    return AnswerMemberList<PositionRecord>(ctx, "summary lines", [&](std::int64_t member) {
        return ctx.State().accounts.Summary(member);
    });
}

// 21: the account block at the current market.
Next Account(RequestContext& ctx) {
    std::optional<SessionInfo> session = ctx.Session();
    AccountBlock block;
    std::memset(&block, 0, sizeof block);
    if (session) block = ctx.State().accounts.Block(session->memberId);
    return AnswerValue(ctx, block, session ? "account" : "account: no session");
}

// 54: the trading hours.
Next TradingDayHours(RequestContext& ctx) {
    const std::int32_t answer = kDayOpens * 10000 + kDayCloses;
    return AnswerValue(ctx, answer, "trading hours " + std::to_string(answer));
}

}  // namespace

void RegisterAccountCommands(CommandTable& table) {
    table.Add(cmd::LoadInstruments, "instruments", 0, Instruments);
    table.Add(cmd::LoadPositions, "positions", sizeof(LoadPositionsRequest), Positions);
    table.Add(cmd::LoadPending, "orders", sizeof(LoadOrdersRequest), Orders);
    table.Add(cmd::LoadSummary, "summary", 0, Summary);
    table.Add(cmd::LoadAccount, "account", 0, Account);
    table.Add(cmd::LoadTradingHours, "trading hours", 0, TradingDayHours);
}

}  // namespace zq::server
