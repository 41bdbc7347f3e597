// Price and profit alerts, stored per member. Without a session the lists are empty, a save is
// refused (id 0) and a removal answers 0.
#include "server/alerts.h"
#include "server/handlers.h"

namespace zq::server {
namespace {

// 8: the active price alerts.
Next LoadPrice(RequestContext& ctx) {
    return AnswerMemberList<PriceAlertRecord>(ctx, "price alerts", [&](std::int64_t member) {
        return PriceAlerts(*ctx.State().store, member);
    });
}

// 9: stores a price alert and answers it with its id (0 = not stored).
Next SavePrice(RequestContext& ctx) {
    PriceAlertRecord request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    PriceAlertRecord answer = request;
    answer.id = 0;
    if (session) answer = AddPriceAlert(*ctx.State().store, session->memberId, request);
    if (!ctx.SendValue(answer)) return Next::Close;
    ctx.Note(!session        ? "save price alert: no session"
             : answer.id > 0 ? "saved price alert " + std::to_string(answer.id)
                             : "price alert refused");
    return Next::Continue;
}

// 10: removes a price alert, deleted by the user or fired; one byte, 1 = removed.
Next RemovePrice(RequestContext& ctx) {
    PriceAlertRecord request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    const bool removed =
        session && RemovePriceAlert(*ctx.State().store, session->memberId, request);
    const std::uint8_t answer = removed ? 1 : 0;
    if (!ctx.SendValue(answer)) return Next::Close;
    ctx.Note("remove price alert " + std::to_string(request.id) + (removed ? " -> 1" : " -> 0"));
    return Next::Continue;
}

// 56: the active profit alerts.
Next LoadProfit(RequestContext& ctx) {
    return AnswerMemberList<ProfitAlertRecord>(ctx, "profit alerts", [&](std::int64_t member) {
        return ProfitAlerts(*ctx.State().store, member);
    });
}

// 58: a profit alert fired; int32 1 = removed.
Next UpdateProfit(RequestContext& ctx) {
    ProfitAlertRecord request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    const bool removed =
        session && RemoveProfitAlert(*ctx.State().store, session->memberId, request);
    const std::int32_t answer = removed ? 1 : 0;
    if (!ctx.SendValue(answer)) return Next::Close;
    ctx.Note("fired profit alert " + std::to_string(ProfitAlertId(request)) +
             (removed ? " -> 1" : " -> 0"));
    return Next::Continue;
}

}  // namespace

void RegisterAlertCommands(CommandTable& table) {
    table.Add(cmd::LoadPriceAlerts, "price alerts", LoadPrice);
    table.Add(cmd::SavePriceAlert, "save price alert", SavePrice);
    table.Add(cmd::RemovePriceAlert, "remove price alert", RemovePrice);
    table.Add(cmd::LoadProfitAlerts, "profit alerts", LoadProfit);
    table.Add(cmd::UpdateProfitAlert, "fired profit alert", UpdateProfit);
}

}  // namespace zq::server
