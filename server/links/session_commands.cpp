// The commands around a session: version check, verification image, login and logout.
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <cstring>

#include "net/wire/ansi_text.h"
#include "net/wire/login_records.h"
#include "server/links/handlers.h"
#include "server/links/link_io.h"

namespace zq::server {
namespace {

// 7: the version number the client compares with its own.
Next VersionCheck(RequestContext& ctx) {
    const std::int32_t version = ctx.State().options.versionNumber;
    return AnswerValue(ctx, version, "version " + std::to_string(version));
}

// 5: a fresh code drawn into the image, then the key bound to it.
Next VerificationImage(RequestContext& ctx) {
    ServerState& state = ctx.State();
    const std::string code = state.options.fixedCode.empty() ? MakeCode() : state.options.fixedCode;
    Key key{};
    // A key that already names a pending login or an open session is never handed out again.
    for (;;) {
        key = RandomKey();
        if (state.sessions.Contains(key)) continue;
        const VerificationKeys::PutResult put =
            state.verification.Put(key, code, ctx.PeerAddress());
        if (put == VerificationKeys::PutResult::Stored) break;
        if (put == VerificationKeys::PutResult::Full) {
            // Refused at once: the address has its share of pending keys (or the table is
            // full), and no one else's pending key gives way.
            ctx.Note("image refused: too many pending keys");
            return Next::Close;
        }
    }
    std::uint64_t noiseSeed = 0;
    SystemRandomBytes(&noiseSeed, sizeof noiseSeed);
    const VerificationPixels pixels = RenderCode(code, noiseSeed);
    if (!ctx.Send(pixels.data(), pixels.size()) || !ctx.Send(key.data(), sizeof key)) {
        state.verification.Take(key);
        return Next::Close;
    }
    ctx.Note("image key " + KeyTag(key));
    return Next::Continue;
}

LoginReply Reply(std::int32_t result) {
    LoginReply r;
    std::memset(&r, 0, sizeof r);
    r.result = result;
    return r;
}

Next LoginAnswer(RequestContext& ctx, const std::string& name, const LoginReply& reply,
                 const std::string& why) {
    ctx.Note("login \"" + Printable(name) + "\" -> " + std::to_string(reply.result) + why);
    return ctx.SendValue(reply) ? Next::Continue : Next::Close;
}

// The login's password check (Argon2id) and its session, on the login pool.
Next CheckPassword(RequestContext& ctx, const LoginRequest& req, const Key& key,
                   const std::string& name, const std::string& address, const std::string& held) {
    ServerState& state = ctx.State();
    const std::string password = FieldToUtf8(req.password, sizeof req.password);
    std::optional<Member> member = state.store->CheckPassword(name, password);
    if (!member) {
        state.loginThrottle.Failed(name, address, LoginThrottle::Clock::now());
        return LoginAnswer(ctx, name, Reply(login::BadCredentials), held);
    }
    state.loginThrottle.Succeeded(name, address);
    if (!LoginSucceeded(member->state))
        return LoginAnswer(ctx, name, Reply(member->state), " (state)");

    SessionInfo session;
    session.key = key;
    session.memberId = member->id;
    session.memberName = member->name;
    session.accountClass = member->accountClass;
    session.started = std::chrono::system_clock::now();
    state.sessions.Begin(session);

    LoginReply reply = Reply(member->state);
    reply.accountClass = member->accountClass;
    reply.programTrading = member->programTrading;
    return LoginAnswer(ctx, name, reply, " session " + KeyTag(key));
}

// 6: the 160-byte login request. The key is consumed by any attempt; then the code, the
// member name and password, and the member's state decide. A held attempt waits on a timer, no
// thread; the password is checked on the login pool.
asio::awaitable<Next> Login(RequestContext& ctx) {
    LoginRequest req;
    if (!ctx.ReadRecord(req)) {
        ctx.Note("login: short request");
        co_return Next::Close;
    }
    ServerState& state = ctx.State();
    const Key key{req.key[0], req.key[1], req.key[2], req.key[3]};
    const std::string name = FieldToUtf8(req.memberName, sizeof req.memberName);

    auto answer = [&](const LoginReply& reply, const std::string& why) {
        return LoginAnswer(ctx, name, reply, why);
    };

    std::optional<std::string> code = state.verification.Take(key);
    if (!code) co_return answer(Reply(login::BadCode), " (unknown or used key)");
    if (!CodesMatch(*code, FieldText(req.verifyCode, sizeof req.verifyCode)))
        co_return answer(Reply(login::BadCode), " (wrong code)");

    // Failed logins of this address or member name hold the check back, or refuse it at once
    // when the address's turn is too far ahead (its password is not checked then).
    const std::string address = std::to_string(ctx.PeerAddress());
    const LoginThrottle::Turn turn =
        state.loginThrottle.Admit(name, address, LoginThrottle::Clock::now());
    if (!turn.admitted) co_return answer(Reply(login::BadCredentials), " (throttled)");
    std::string held;
    if (turn.wait > LoginThrottle::Clock::duration::zero()) {
        asio::steady_timer hold(co_await asio::this_coro::executor, turn.wait);
        co_await hold.async_wait(kAwaitTuple);
        held = " (held " +
               std::to_string(
                   std::chrono::duration_cast<std::chrono::milliseconds>(turn.wait).count()) +
               " ms)";
    }

    auto check = [&] { return CheckPassword(ctx, req, key, name, address, held); };
    const Next next = co_await OnPool(ctx.Loop().Logins(), check);
    co_return next;
}

// 4: ends the session the header names and closes its push links; no answer.
Next Logout(RequestContext& ctx) {
    const Key key = ctx.HeaderKey();
    std::optional<SessionInfo> session = ctx.State().sessions.Find(key);
    const bool ended = session && ctx.State().sessions.End(key);
    // After the session has ended, so that a link subscribing meanwhile is refused or closed.
    const int closed = ctx.State().push.CloseSession(key);
    const std::string links = closed ? ", " + std::to_string(closed) + " push links closed" : "";
    if (ended)
        ctx.Note("logout \"" + Printable(session->memberName) + "\"" + links);
    else
        ctx.Note("logout: no session " + KeyTag(key) + links);
    return Next::Continue;
}

}  // namespace

void RegisterSessionCommands(CommandTable& table) {
    table.Add(cmd::Logout, "logout", 0, Logout);
    table.Add(cmd::VerificationImage, "verification image", 0, VerificationImage);
    table.Add(cmd::Login, "login", sizeof(LoginRequest), Login);
    table.Add(cmd::VersionCheck, "version check", 0, VersionCheck);
}

}  // namespace zq::server
