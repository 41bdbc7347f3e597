// 42: the caller's 50 signal notification flags. 41: stores the 50 flag bytes that follow the
// header and answers the byte 1 (0 when the caller has no session or the store refuses); a
// payload cut short closes the connection and stores nothing. Without a session 42 answers 50
// zeros.
#include "server/links/handlers.h"
#include "server/market/signal_flags.h"

namespace zq::server {
namespace {

std::string FlagCount(const SignalFlags& flags) {
    int on = 0;
    for (std::uint8_t f : flags) on += f == 1;
    return std::to_string(on) + " of 50 announced";
}

Next LoadFlags(RequestContext& ctx) {
    std::optional<SessionInfo> session = ctx.Session();
    SignalFlags flags{};
    std::string note = "signal flags: no session";
    if (session) {
        if (std::optional<SignalFlags> stored =
                LoadSignalFlags(*ctx.State().store, session->memberId)) {
            flags = *stored;
            note = "signal flags " + FlagCount(flags);
        } else {
            note = "signal flags: store failed, zeros";
        }
    }
    if (!ctx.Send(flags.data(), flags.size())) return Next::Close;
    ctx.Note(note);
    return Next::Continue;
}

Next SaveFlags(RequestContext& ctx) {
    SignalFlags flags{};
    if (!ctx.ReadPayload(flags.data(), static_cast<int>(flags.size()))) {
        ctx.Note("save signal flags: short payload");
        return Next::Close;
    }
    std::optional<SessionInfo> session = ctx.Session();
    const bool saved = session && SaveSignalFlags(*ctx.State().store, session->memberId, flags);
    const std::uint8_t answer = saved ? 1 : 0;
    return AnswerValue(ctx, answer,
                       saved ? "saved signal flags " + FlagCount(flags)
                             : std::string(session ? "save signal flags: store failed"
                                                   : "save signal flags: no session"));
}

}  // namespace

void RegisterSignalCommands(CommandTable& table) {
    table.Add(cmd::LoadSignalFlags, "load signal flags", 0, LoadFlags);
    table.Add(cmd::SaveSignalFlags, "save signal flags", kSignalFlagBytes, SaveFlags);
}

}  // namespace zq::server
