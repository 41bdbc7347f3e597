#include "base/config.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace zq {
namespace {

std::mutex g_mutex;
ClientConfig g_config;
bool g_loaded = false;

const char* Env(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

bool Writable(const std::string& dir) {
    return !dir.empty() && access(dir.c_str(), W_OK) == 0;
}

std::string UserDataDirectory() {
    std::string base;
    if (const char* xdg = Env("XDG_DATA_HOME")) {
        base = xdg;
    } else if (const char* home = Env("HOME")) {
        base = std::string(home) + "/.local/share";
    } else {
        base = "/tmp";
    }
    std::string dir = base + "/zelvanquorvex";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void Load() {
    ClientConfig c;
    if (const char* v = Env("ZQ_SERVER_HOST")) c.serverHost = v;
    c.requestPort = ParsePort(Env("ZQ_REQUEST_PORT"), c.requestPort);
    c.pushPort = ParsePort(Env("ZQ_PUSH_PORT"), c.pushPort);
    c.dataPort = ParsePort(Env("ZQ_DATA_PORT"), c.dataPort);
    if (const char* v = Env("ZQ_WEB_BASE")) c.webBase = v;
    while (!c.webBase.empty() && c.webBase.back() == '/') c.webBase.pop_back();
    if (const char* v = Env("ZQ_DATA_DIR")) {
        c.dataDir = v;
        std::error_code ec;
        std::filesystem::create_directories(c.dataDir, ec);
    } else {
        c.dataDir = DefaultDataDirectory(ProgramDirectory());
    }
    g_config = c;
    g_loaded = true;
}

}  // namespace

std::uint16_t ParsePort(const char* text, std::uint16_t fallback) {
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) return fallback;
    return static_cast<std::uint16_t>(v);
}

const ClientConfig& Config() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_loaded) Load();
    return g_config;
}

void ReloadConfig() {
    std::lock_guard<std::mutex> lock(g_mutex);
    Load();
}

std::string ProgramPath() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

std::string ProgramDirectory() {
    std::string path = ProgramPath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool InstalledCopy(const std::string& programDir) {
    return Exists(programDir + "/../share/applications/" + kDesktopEntryName);
}

std::string DefaultDataDirectory(const std::string& programDir) {
    // An installed copy's directory is the system's, whoever can write to it (root can):
    // the settings file and the history cache never go there.
    if (Writable(programDir) && !InstalledCopy(programDir)) return programDir;
    return UserDataDirectory();
}

const std::string& DataDirectory() {
    return Config().dataDir;
}

std::string WebAddress(const std::string& path) {
    const std::string& base = Config().webBase;
    if (path.empty()) return base;
    return path.front() == '/' ? base + path : base + "/" + path;
}

}  // namespace zq
