#include "server/links/options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "server/links/verification.h"

namespace zq::server {
namespace {

bool ParseInteger(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseUnsigned64(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

}  // namespace

std::string UsageText() {
    return "usage: zq-server [options]\n"
           "  --request-port N     request connections (default 2292; 0 = any free port)\n"
           "  --push-port N        push link (default 2272)\n"
           "  --data-port N        history transfers (default 2262)\n"
           "  --db FILE            SQLite database (default ./zq-server.db)\n"
           "  --version-number N   answer to the version check (default 12123111)\n"
           "  --fixed-code CODE    every verification image shows CODE (4 letters or digits)\n"
           "  --ports-file FILE    after listening, write \"request push data\" ports to FILE\n"
           "                       (and the control port fourth, when there is one)\n"
           "  --seed N             seed of the simulation's random generator\n"
           "  --market-step-ms N   the market moves every N ms (default 500; 0 = prices stand\n"
           "                       still)\n"
           "  --control-port N     control commands on 127.0.0.1:N (default none; 0 = any free\n"
           "                       port)\n"
           "  --web-port N         the web pages over HTTP (default 2280; 0 = none)\n"
           "  --keepalive-ms N     push link keep-alive every N ms (default 10000)\n"
           "  --session-idle-ms N  a session without requests or push link for N ms ends\n"
           "                       (default 28800000, 8 hours)\n"
           "  --auto-signals 0|1   the market's own trading signals (default 1; 0 = only those\n"
           "                       of the control port)\n"
           "  --trading-hours standard|always\n"
           "                       markets open by their trading hours (default), or always\n"
           "  --demo-members       a fresh database gets the demo members (demo/demo, ...)\n"
           "  --control-secret-file FILE\n"
           "                       the control port's secret (default: control-secret beside\n"
           "                       the database, made when missing)\n"
           "  --add-member NAME    add the member NAME with the password read from standard\n"
           "                       input to the database, and exit\n"
           "  --set-password NAME  give the member NAME the password read from standard input,\n"
           "                       and exit\n"
           "  --version            the program's version\n"
           "  --help               this text\n";
}

ParseOutcome ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                          std::string& message) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") return ParseOutcome::Help;
        if (name == "--version") return ParseOutcome::Version;
        if (name == "--demo-members") {
            options.demoMembers = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            message = name.rfind("--", 0) == 0 ? "missing value after " + name
                                               : "unknown argument " + name;
            return ParseOutcome::Error;
        }
        const std::string& value = args[++i];
        long long n = 0;
        auto port = [&](std::uint16_t& out) {
            if (!ParseInteger(value, 0, 65535, n)) {
                message = name + " needs a port number 0..65535, not \"" + value + "\"";
                return false;
            }
            out = static_cast<std::uint16_t>(n);
            return true;
        };
        if (name == "--request-port") {
            if (!port(options.requestPort)) return ParseOutcome::Error;
        } else if (name == "--push-port") {
            if (!port(options.pushPort)) return ParseOutcome::Error;
        } else if (name == "--data-port") {
            if (!port(options.dataPort)) return ParseOutcome::Error;
        } else if (name == "--db") {
            if (value.empty()) {
                message = "--db needs a file name";
                return ParseOutcome::Error;
            }
            options.dbPath = value;
        } else if (name == "--version-number") {
            if (!ParseInteger(value, std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max(), n)) {
                message = "--version-number needs a 32-bit integer, not \"" + value + "\"";
                return ParseOutcome::Error;
            }
            options.versionNumber = static_cast<std::int32_t>(n);
        } else if (name == "--fixed-code") {
            if (!IsDrawableCode(value)) {
                message = "--fixed-code needs 4 letters or digits, not \"" + value + "\"";
                return ParseOutcome::Error;
            }
            options.fixedCode = value;
        } else if (name == "--control-secret-file") {
            if (value.empty()) {
                message = "--control-secret-file needs a file name";
                return ParseOutcome::Error;
            }
            options.controlSecretFile = value;
        } else if (name == "--add-member") {
            if (value.empty()) {
                message = "--add-member needs a member name";
                return ParseOutcome::Error;
            }
            options.addMember = value;
        } else if (name == "--set-password") {
            if (value.empty()) {
                message = "--set-password needs a member name";
                return ParseOutcome::Error;
            }
            options.setPassword = value;
        } else if (name == "--ports-file") {
            options.portsFile = value;
        } else if (name == "--seed") {
            std::uint64_t seed = 0;
            if (!ParseUnsigned64(value, seed)) {
                message = "--seed needs an unsigned integer, not \"" + value + "\"";
                return ParseOutcome::Error;
            }
            options.seed = seed;
        } else if (name == "--market-step-ms") {
            if (!ParseInteger(value, 0, 3600000, n)) {
                message = "--market-step-ms needs a number of milliseconds 0..3600000, not \"" +
                          value + "\"";
                return ParseOutcome::Error;
            }
            options.marketStep = std::chrono::milliseconds(n);
        } else if (name == "--control-port") {
            std::uint16_t p = 0;
            if (!port(p)) return ParseOutcome::Error;
            options.controlPort = p;
        } else if (name == "--web-port") {
            if (!port(options.webPort)) return ParseOutcome::Error;
        } else if (name == "--keepalive-ms") {
            if (!ParseInteger(value, 1, 3600000, n)) {
                message = "--keepalive-ms needs a number of milliseconds 1..3600000, not \"" +
                          value + "\"";
                return ParseOutcome::Error;
            }
            options.keepAliveInterval = std::chrono::milliseconds(n);
        } else if (name == "--session-idle-ms") {
            if (!ParseInteger(value, 100, 31LL * 24 * 3600 * 1000, n)) {
                message =
                    "--session-idle-ms needs a number of milliseconds 100..2678400000, not \"" +
                    value + "\"";
                return ParseOutcome::Error;
            }
            options.sessionIdle = std::chrono::milliseconds(n);
        } else if (name == "--auto-signals") {
            if (!ParseInteger(value, 0, 1, n)) {
                message = "--auto-signals needs 0 or 1, not \"" + value + "\"";
                return ParseOutcome::Error;
            }
            options.autoSignals = n == 1;
        } else if (name == "--trading-hours") {
            if (value != "standard" && value != "always") {
                message = "--trading-hours needs standard or always, not \"" + value + "\"";
                return ParseOutcome::Error;
            }
            options.tradingHours = value == "always" ? HoursMode::Always : HoursMode::Standard;
        } else {
            message = "unknown option " + name;
            return ParseOutcome::Error;
        }
    }
    return ParseOutcome::Run;
}

std::string ControlSecretPath(const ServerOptions& options) {
    if (!options.controlSecretFile.empty()) return options.controlSecretFile;
    const std::size_t slash = options.dbPath.rfind('/');
    return (slash == std::string::npos ? std::string() : options.dbPath.substr(0, slash + 1)) +
           "control-secret";
}

}  // namespace zq::server
