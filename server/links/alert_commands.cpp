// Price and profit alerts, stored per member. Without a session the lists are empty, a save is
// refused (id 0) and a removal answers 0.
#include "server/links/handlers.h"
#include "server/trading/alerts.h"

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
    return AnswerValue(ctx, answer,
                       !session        ? "save price alert: no session"
                       : answer.id > 0 ? "saved price alert " + std::to_string(answer.id)
                                       : "price alert refused");
}

// Reads the alert record of a removal and removes the caller's alert with `remove(store,
// member, record)`; answers 1 when it was removed and 0 otherwise (also without a session), as
// an `Answer`, and notes "<what> <id> -> 1|0".
template <typename Answer, typename Record, typename IdOf>
Next AnswerRemoval(RequestContext& ctx, const char* what,
                   bool (*remove)(Store&, std::int64_t, const Record&), IdOf idOf) {
    Record request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    std::optional<SessionInfo> session = ctx.Session();
    const bool removed = session && remove(*ctx.State().store, session->memberId, request);
    const Answer answer = removed ? 1 : 0;
    return AnswerValue(
        ctx, answer,
        std::string(what) + " " + std::to_string(idOf(request)) + (removed ? " -> 1" : " -> 0"));
}

// 10: removes a price alert, deleted by the user or fired; one byte, 1 = removed.
Next RemovePrice(RequestContext& ctx) {
    return AnswerRemoval<std::uint8_t>(ctx, "remove price alert", RemovePriceAlert,
                                       [](const PriceAlertRecord& r) { return r.id; });
}

// 56: the active profit alerts.
Next LoadProfit(RequestContext& ctx) {
    return AnswerMemberList<ProfitAlertRecord>(ctx, "profit alerts", [&](std::int64_t member) {
        return ProfitAlerts(*ctx.State().store, member);
    });
}

// 58: a profit alert fired; int32 1 = removed.
Next UpdateProfit(RequestContext& ctx) {
    return AnswerRemoval<std::int32_t>(ctx, "fired profit alert", RemoveProfitAlert, ProfitAlertId);
}

}  // namespace

void RegisterAlertCommands(CommandTable& table) {
    table.Add(cmd::LoadPriceAlerts, "price alerts", 0, LoadPrice);
    table.Add(cmd::SavePriceAlert, "save price alert", sizeof(PriceAlertRecord), SavePrice);
    table.Add(cmd::RemovePriceAlert, "remove price alert", sizeof(PriceAlertRecord), RemovePrice);
    table.Add(cmd::LoadProfitAlerts, "profit alerts", 0, LoadProfit);
    table.Add(cmd::UpdateProfitAlert, "fired profit alert", sizeof(ProfitAlertRecord),
              UpdateProfit);
}

}  // namespace zq::server
