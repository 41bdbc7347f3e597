// The server's command line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/wire/framing.h"
#include "server/market/trading_hours.h"

namespace zq::server {

struct ServerOptions {
    std::uint16_t requestPort = 2292;  // 0: any free port
    std::uint16_t pushPort = 2272;
    std::uint16_t dataPort = 2262;
    std::string dbPath = "zq-server.db";
    std::int32_t versionNumber = ProgramVersion;
    std::string fixedCode;                      // empty: a fresh random code for every image
    std::string portsFile;                      // empty: none written
    std::optional<std::uint64_t> seed;          // none: drawn at start and logged
    std::chrono::milliseconds marketStep{500};  // 0: prices stand still
    std::optional<std::uint16_t> controlPort;   // none: no control port; 0: any free port
    std::uint16_t webPort = 2280;               // the web pages; 0: none
    std::chrono::milliseconds keepAliveInterval{10000};
    // A session without a request and without a push link for this long ends.
    std::chrono::milliseconds sessionIdle{std::chrono::hours(8)};
    bool autoSignals = true;  // the market publishes and withdraws signals by itself
    HoursMode tradingHours = HoursMode::Standard;  // Always: every market open at every hour
    bool demoMembers = false;  // a fresh store gets the demo members (demo/demo, …)
    // The control port's secret; empty: "control-secret" beside the database, made when missing.
    std::string controlSecretFile;
    std::string addMember;    // not empty: add this member (password on stdin) and exit
    std::string setPassword;  // not empty: give this member a new password (stdin) and exit
};

// The control secret file the options name: --control-secret-file, or "control-secret" in the
// database's directory.
std::string ControlSecretPath(const ServerOptions& options);

enum class ParseOutcome { Run, Help, Version, Error };

// Parses the arguments after the program name. On Error `message` says what is wrong.
ParseOutcome ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                          std::string& message);

std::string UsageText();

}  // namespace zq::server
