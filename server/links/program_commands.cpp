// 53: the programmatic trading settings. The 62 bytes (50 not read, two int32 risk limits, the
// int32 flag: 1 on, anything else off) are stored for the caller's member and answered with
// the byte 1; 0 without a session or when the store refuses. Turning the flag off cancels the
// member's waiting programmatic orders.
#include "server/links/handlers.h"
#include "server/trading/program_trading.h"

namespace zq::server {
namespace {

Next SaveProgramTrading(RequestContext& ctx) {
    ProgramTradingRequest request;
    if (!ctx.ReadRecord(request)) return Next::Close;
    const std::optional<SessionInfo> session = ctx.Session();
    if (!session) return AnswerValue(ctx, std::uint8_t{0}, "program trading: no session");
    ProgramSettings settings;
    settings.enabled = request.enabled == 1 ? 1 : 0;
    settings.riskLimit1 = request.riskLimit1;
    settings.riskLimit2 = request.riskLimit2;
    ServerState& state = ctx.State();
    if (!SaveProgramSettings(*state.store, session->memberId, settings))
        return AnswerValue(ctx, std::uint8_t{0}, "program trading: store failed");
    std::string note = settings.enabled ? "program trading on" : "program trading off";
    if (!settings.enabled) {
        const int cancelled = state.engine.CancelProgrammatic(session->memberId);
        note += ", " + std::to_string(cancelled) + " orders cancelled";
    }
    return AnswerValue(ctx, std::uint8_t{1}, note);
}

}  // namespace

void RegisterProgramCommands(CommandTable& table) {
    table.Add(cmd::SaveProgramTrading, "program trading", sizeof(ProgramTradingRequest),
              SaveProgramTrading);
}

}  // namespace zq::server
