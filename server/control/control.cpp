#include "server/control/control.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "net/wire/ansi_text.h"
#include "server/links/link_io.h"
#include "server/market/catalogue.h"
#include "server/store/log.h"
#include "server/store/random.h"
#include "server/trading/messages.h"

namespace zq::server {
namespace {

constexpr const char* kHelp =
    "ok commands: keepalive stop|resume; message MEMBER|* TEXT; logout MEMBER; price ID PRICE; "
    "close [PERIOD]; signal ID support|resistance PRICE [LOTS AMOUNT STOPLOSS]; withdraw ID TAG; "
    "signals [ID]; links; market ID|* [open|close|auto]; help; quit";

// The first word of `rest` (taken off it); empty when none is left.
std::string_view Word(std::string_view& rest) {
    std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    std::size_t end = rest.find(' ');
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return word;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::optional<long> Integer(std::string_view text) {
    const std::string s(text);
    if (s.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

// A positive decimal number; nothing for any other text.
std::optional<double> Positive(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v <= 0 || v > 1.0e9) return std::nullopt;
    return v;
}

// "1 tag 3 support 1650.50 lots 1.00 amount 10.31 stop 1646.38 variant 2"
std::string SignalText(const SignalRecord& s) {
    const InstrumentRules* rules = FindRules(s.instrument);
    const int decimals = rules ? rules->decimals : 0;
    return std::to_string(s.instrument) + " tag " + std::to_string(s.tag) + " " +
           (s.side == signal_side::Support ? "support " : "resistance ") +
           PriceText(s.price, decimals) + " lots " + PriceText(s.lots, 2) + " amount " +
           PriceText(s.amount, 2) + " stop " + PriceText(s.stopLoss, decimals) + " variant " +
           std::to_string(s.variant);
}

// "1 open (standard hours)", "1 closed (forced)".
std::string MarketText(const TradingHours& hours, std::int32_t instrument, std::int64_t now) {
    const MarketOverride o = hours.Override(instrument);
    const char* why = o != MarketOverride::Auto           ? "forced"
                      : hours.Mode() == HoursMode::Always ? "always open"
                                                          : "trading hours";
    return std::to_string(instrument) + (hours.IsOpen(instrument, now) ? " open (" : " closed (") +
           why + ")";
}

// A first line a browser or another HTTP client sends: "METHOD /path HTTP/1.x".
bool LooksLikeHttp(std::string_view line) {
    return line.find(" HTTP/") != std::string_view::npos ||
           line.find("HTTP/1.") != std::string_view::npos;
}

// Makes the secret file, readable by its owner alone; false with `error` set when it fails
// (also when the file appeared meanwhile: then it is read as it is).
bool MakeSecretFile(const std::string& path, std::string* error) {
    unsigned char bytes[32];
    SystemRandomBytes(bytes, sizeof bytes);
    char hex[2 * sizeof bytes + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    const std::string text = std::string(hex) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return true;
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        if (error) *error = path + ": cannot write the control secret";
    }
    return written;
}

}  // namespace

std::optional<std::string> LoadControlSecret(const std::string& path, std::string* error) {
    if (!MakeSecretFile(path, error)) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        if (error)
            *error =
                path + ": the control secret must be a file only its owner can read (chmod 600)";
        return std::nullopt;
    }
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    std::string secret(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    secret = std::string(Trim(secret.substr(0, secret.find('\n'))));
    if (secret.size() < 16 || secret.find(' ') != std::string::npos) {
        if (error)
            *error = path + ": the control secret needs at least 16 characters and no spaces";
        return std::nullopt;
    }
    return secret;
}

void ControlPort::Start(NetLoop& loop) {
    connections_.Open();
    listener_.Start(loop, connections_,
                    [this, &loop](Accepted link) { return Serve(std::move(link), loop); });
}

asio::awaitable<void> ControlPort::Serve(Accepted link, NetLoop& loop) {
    co_await ServeLink(
        link, "control", [&](Tcp::socket& s, ConnectionLog& log) -> asio::awaitable<void> {
            std::string pending;
            bool authenticated = false;
            char buffer[1024];
            auto send = [&](std::string text) -> asio::awaitable<bool> {
                co_return co_await WriteBefore(s, text.data(), text.size(),
                                               DeadlineIn(kSendStallMs));
            };
            for (;;) {
                const std::size_t eol = pending.find('\n');
                if (eol == std::string::npos) {
                    if (pending.size() > kMaxControlLine) {
                        co_await send("error line too long\n");
                        log.SetOutcome("line too long, closed");
                        co_return;
                    }
                    // Whatever arrives within the wait, however little: the line is put together.
                    using namespace asio::experimental::awaitable_operators;
                    asio::steady_timer timer(
                        s.get_executor(),
                        DeadlineIn(authenticated ? kControlIdleMs : kControlAuthMs));
                    auto r = co_await (s.async_read_some(asio::buffer(buffer), kAwaitTuple) ||
                                       timer.async_wait(kAwaitTuple));
                    if (r.index() == 1) {
                        log.SetOutcome("idle or failed, closed");
                        co_return;
                    }
                    auto [ec, n] = std::get<0>(r);
                    if (ec || n == 0) {
                        log.SetOutcome(ec == asio::error::eof ? "closed by peer"
                                                              : "idle or failed, closed");
                        co_return;
                    }
                    pending.append(buffer, n);
                    continue;
                }
                const std::string line(Trim(std::string_view(pending).substr(0, eol)));
                pending.erase(0, eol + 1);
                if (!authenticated) {
                    // Nothing runs before the secret: a web page that posts to this port (its first
                    // line is HTTP) or any other program without the secret is closed at once.
                    if (LooksLikeHttp(line)) {
                        log.SetOutcome("HTTP request, closed");
                        co_return;
                    }
                    std::string_view rest = line;
                    const std::string_view word = Word(rest);
                    const std::string given(Trim(rest));
                    if (word != "auth" || given.size() != secret_.size() ||
                        sodium_memcmp(given.data(), secret_.data(), secret_.size()) != 0) {
                        co_await send("error not authorised\n");
                        log.SetOutcome(word == "auth" ? "wrong secret, closed" : "no auth, closed");
                        co_return;
                    }
                    authenticated = true;
                    link.ticket.Authenticated();
                    log.Add("auth -> ok");
                    if (!co_await send("ok authorised\n")) {
                        log.SetOutcome("send failed, closed");
                        co_return;
                    }
                    continue;
                }
                if (line.empty()) continue;
                const bool quit = line == "quit";
                std::string answer = "ok bye";
                if (!quit) answer = co_await OnPool(loop.Workers(), [&] { return Execute(line); });
                log.Add(Printable(line, 48) + " -> " + Printable(answer, 48));
                answer += "\n";
                if (!co_await send(answer)) {
                    log.SetOutcome("send failed, closed");
                    co_return;
                }
                if (quit) {
                    log.SetOutcome("quit");
                    co_return;
                }
            }
        });
}

void ControlPort::Stop() {
    listener_.Stop();
    connections_.CloseAll(std::chrono::seconds(2));
}

std::string ControlPort::Execute(std::string_view line) {
    std::string_view rest = line;
    const std::string_view command = Word(rest);
    if (command == "help") return kHelp;

    if (command == "links") return "ok " + std::to_string(state_.push.LinkCount());

    if (command == "keepalive") {
        const std::string_view what = Word(rest);
        if (what == "stop" || what == "resume") {
            state_.push.SetKeepAlives(what == "resume");
            return what == "stop" ? "ok keep-alives stopped" : "ok keep-alives resumed";
        }
        return "error keepalive needs stop or resume";
    }

    if (command == "message") {
        const std::string member(Word(rest));
        const std::string text(Trim(rest));
        if (member.empty() || text.empty()) return "error message needs a member (or *) and a text";
        std::optional<std::int64_t> memberId;
        if (member != "*") {
            std::optional<Member> m = state_.store->FindMember(member);
            if (!m) return "error unknown member " + member;
            memberId = m->id;
        }
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        if (AddMessage(*state_.store, memberId.value_or(kEveryMember), now, text) == 0)
            return "error cannot store the message";
        const int told =
            state_.push.SendMessage(memberId, static_cast<std::int32_t>(now), ToAnsi(text));
        return "ok message stored, sent on " + std::to_string(told) + " links";
    }

    if (command == "logout") {
        const std::string member(Word(rest));
        if (member.empty()) return "error logout needs a member";
        std::optional<Member> m = state_.store->FindMember(member);
        if (!m) return "error unknown member " + member;
        const bool ended = state_.sessions.EndMember(m->id);
        const int told = state_.push.ForceOfflineMember(m->id);
        if (!ended && told == 0) return "error " + member + " has no session";
        return std::string("ok ") + (ended ? "session ended" : "no session") + ", " +
               std::to_string(told) + " links told";
    }

    if (command == "price") {
        const std::optional<long> id = Integer(Word(rest));
        const std::string priceText(Word(rest));
        const InstrumentRules* rules = id ? FindRules(static_cast<std::int32_t>(*id)) : nullptr;
        if (!rules) return "error price needs an instrument id 1..42";
        char* end = nullptr;
        const double price = std::strtod(priceText.c_str(), &end);
        if (priceText.empty() || *end != '\0' || !std::isfinite(price) || price <= 0 ||
            price * PriceScale(*rules) > 2.0e9)
            return "error price needs a positive price, not \"" + priceText + "\"";
        const std::int32_t scaled = ToScaled(*rules, price);
        if (scaled <= 0) return "error the price rounds to 0";
        state_.market.SetPrice(rules->id, scaled);
        return "ok " + std::to_string(rules->id) + " " + PriceText(scaled, rules->decimals);
    }

    if (command == "close") {
        const std::string_view periodText = Word(rest);
        const std::optional<long> period = periodText.empty() ? 15 : Integer(periodText);
        if (!period || PeriodIndex(static_cast<int>(*period)) < 0)
            return "error close needs a period: 15, 30, 60, 120, 240, 480 or 1440";
        const std::optional<BarMinute> clock = state_.bars.CloseNow(static_cast<int>(*period));
        if (!clock) return "error no bars";
        return "ok bar clock " + std::to_string(BarYear(*clock)) + FinishedTimeText(*clock);
    }

    if (command == "signal") {
        const std::optional<long> id = Integer(Word(rest));
        const InstrumentRules* rules = id ? FindRules(static_cast<std::int32_t>(*id)) : nullptr;
        if (!rules) return "error signal needs an instrument id 1..42";
        const std::string_view sideText = Word(rest);
        SignalRequest request;
        request.instrument = rules->id;
        if (sideText == "support" || sideText == "11") {
            request.side = signal_side::Support;
        } else if (sideText == "resistance" || sideText == "21") {
            request.side = signal_side::Resistance;
        } else {
            return "error signal needs a side: support or resistance";
        }
        const std::string priceText(Word(rest));
        const std::optional<double> price = Positive(priceText);
        if (!price || *price * PriceScale(*rules) > 2.0e9)
            return "error signal needs a positive price, not \"" + Printable(priceText, 32) + "\"";
        request.price = ToScaled(*rules, *price);
        if (request.price <= 0) return "error the price rounds to 0";
        const std::string lotsText(Word(rest)), amountText(Word(rest)), stopText(Word(rest));
        if (!lotsText.empty()) {
            const std::optional<double> lots = Positive(lotsText), amount = Positive(amountText),
                                        stop = Positive(stopText);
            if (!lots || !amount || !stop || *lots > 1.0e6 || *amount > 1.0e7 ||
                *stop * PriceScale(*rules) > 2.0e9)
                return "error signal needs LOTS AMOUNT STOPLOSS as positive numbers, or none";
            request.lots100 = static_cast<std::int32_t>(std::lround(*lots * 100));
            request.amount100 = static_cast<std::int32_t>(std::lround(*amount * 100));
            request.stopLoss = ToScaled(*rules, *stop);
            if (request.lots100 <= 0 || request.amount100 <= 0 || request.stopLoss <= 0)
                return "error a figure rounds to 0";
        }
        if (!Trim(rest).empty()) return "error signal takes at most six arguments";
        const std::optional<SignalRecord> s = state_.signals.Publish(request);
        if (!s) return "error no free tag for instrument " + std::to_string(rules->id);
        return "ok signal " + SignalText(*s);
    }

    if (command == "withdraw") {
        const std::optional<long> id = Integer(Word(rest));
        const std::optional<long> tag = Integer(Word(rest));
        if (!id || !FindRules(static_cast<std::int32_t>(*id)))
            return "error withdraw needs an instrument id 1..42";
        if (!tag || *tag < 1 || *tag > 255) return "error withdraw needs a tag 1..255";
        const std::optional<SignalRecord> s = state_.signals.Withdraw(
            static_cast<std::int32_t>(*id), static_cast<std::uint8_t>(*tag));
        if (!s)
            return "error instrument " + std::to_string(*id) + " has no signal " +
                   std::to_string(*tag);
        return "ok withdrawn " + SignalText(*s);
    }

    if (command == "signals") {
        const std::string_view idText = Word(rest);
        std::int32_t instrument = 0;
        if (!idText.empty()) {
            const std::optional<long> id = Integer(idText);
            if (!id || !FindRules(static_cast<std::int32_t>(*id)))
                return "error signals takes an instrument id 1..42 or nothing";
            instrument = static_cast<std::int32_t>(*id);
        }
        const std::vector<SignalRecord> active = state_.signals.Active(instrument);
        std::string answer = "ok " + std::to_string(active.size()) + " active";
        for (std::size_t i = 0; i < active.size(); ++i)
            answer += (i == 0 ? ": " : "; ") + SignalText(active[i]);
        return answer;
    }

    if (command == "market") {
        const std::string_view idText = Word(rest), what = Word(rest);
        std::int32_t instrument = 0;  // every one
        if (idText != "*") {
            const std::optional<long> id = Integer(idText);
            if (!id || !FindRules(static_cast<std::int32_t>(*id)))
                return "error market needs an instrument id 1..42 or *";
            instrument = static_cast<std::int32_t>(*id);
        }
        if (!Trim(rest).empty()) return "error market takes an id and open, close or auto";
        if (!what.empty()) {
            MarketOverride o;
            if (what == "open") {
                o = MarketOverride::Open;
            } else if (what == "close") {
                o = MarketOverride::Closed;
            } else if (what == "auto") {
                o = MarketOverride::Auto;
            } else {
                return "error market needs open, close or auto";
            }
            for (const InstrumentRules& r : Catalogue())
                if (instrument == 0 || r.id == instrument) state_.hours.SetOverride(r.id, o);
        }
        const std::int64_t now = state_.accounts.Now();
        if (instrument != 0) return "ok market " + MarketText(state_.hours, instrument, now);
        int open = 0;
        for (const InstrumentRules& r : Catalogue()) open += state_.hours.IsOpen(r.id, now) ? 1 : 0;
        return "ok markets " + std::to_string(open) + " open, " +
               std::to_string(kInstrumentCount - open) + " closed";
    }

    return "error unknown command \"" + Printable(command, 32) + "\" (help lists them)";
}

}  // namespace zq::server
