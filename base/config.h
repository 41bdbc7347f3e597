// Where the client finds its server and keeps its files. Read once from the environment:
//
//   ZQ_SERVER_HOST   server host name, resolved once at start-up      (localhost)
//   ZQ_REQUEST_PORT  short request connections                         (2292)
//   ZQ_PUSH_PORT     the long-lived push link                          (2272)
//   ZQ_DATA_PORT     history transfers                                 (2262)
//   ZQ_WEB_BASE      base address of the vendor web pages              (http://localhost:2280)
//   ZQ_DATA_DIR      where "data" and "history" live                   (program dir or per-user
//   dir)
#pragma once

#include <cstdint>
#include <string>

namespace zq {

struct ClientConfig {
    std::string serverHost = "localhost";
    std::uint16_t requestPort = 2292;
    std::uint16_t pushPort = 2272;
    std::uint16_t dataPort = 2262;
    std::string webBase = "http://localhost:2280";
    std::string dataDir;  // empty until resolved: see DataDirectory()
};

// The configuration of this process, read from the environment on first use.
const ClientConfig& Config();

// Re-reads the environment (tests change variables between cases).
void ReloadConfig();

// The directory of the running program file.
std::string ProgramDirectory();

// The path of the running program file.
std::string ProgramPath();

// ZQ_DATA_DIR when set, else DefaultDataDirectory(ProgramDirectory()).
const std::string& DataDirectory();

// The desktop entry that an installed copy of the client has in share/applications beside its
// bin directory.
inline constexpr const char* kDesktopEntryName = "zelvanquorvex.desktop";

// True when the program in `programDir` is an installed copy: its desktop entry lies in
// `programDir`/../share/applications.
bool InstalledCopy(const std::string& programDir);

// Where the files go without ZQ_DATA_DIR: `programDir` when it is writable and not an installed
// copy's; else the per-user data directory ($XDG_DATA_HOME/zelvanquorvex, else
// ~/.local/share/zelvanquorvex), created if needed.
std::string DefaultDataDirectory(const std::string& programDir);

// Joins the web base and a path ("/uc/BuyCart.jsp?val1=3").
std::string WebAddress(const std::string& path);

// Parses a port number; returns `fallback` for anything outside 1..65535.
std::uint16_t ParsePort(const char* text, std::uint16_t fallback);

}  // namespace zq
