#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/config.h"
#include "net/wire/ansi_text.h"

#ifndef ZQ_BIN_DIR
#error "ZQ_BIN_DIR names the directory of zq-server"
#endif

namespace zq::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous limits: they only bound how long a broken server can hold up a test run.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(20);
constexpr auto kPollStep = std::chrono::milliseconds(20);

std::string MakeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zq-server-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) return {};
    return buf.data();
}

std::string Tail(const std::string& text, std::size_t bytes) {
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// Waits for the child to end within `limit`; its wait status, or nothing when it still runs.
std::optional<int> WaitExit(pid_t pid, Clock::duration limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

// A TCP port that nothing listens on just now (the server may still lose it to another
// process before it binds; Start tries again then); 0 when none can be had.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// The control secret of each control port the tests' servers listen on.
std::mutex secretsMutex;
std::map<std::uint16_t, std::string> secrets;

}  // namespace

std::string ControlSecret(std::uint16_t controlPort) {
    std::lock_guard<std::mutex> lock(secretsMutex);
    const auto it = secrets.find(controlPort);
    return it == secrets.end() ? std::string() : it->second;
}

ServerProcess::ServerProcess(std::vector<std::string> extraArgs)
    : extraArgs_(std::move(extraArgs)) {
    dir_ = MakeTempDir();
    if (dir_.empty()) {
        error_ = "cannot make a temporary directory";
        return;
    }
    dbPath_ = dir_ + "/zq-server.db";
    logPath_ = dir_ + "/server.log";
    portsPath_ = dir_ + "/ports";
    Start({0, 0, 0}, 0);
}

ServerProcess::~ServerProcess() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string ServerProcess::Log() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool ServerProcess::Start(const std::array<std::uint16_t, 3>& ports, std::uint16_t web) {
    // The web port is picked here (the server's 0 turns the pages off): when another process
    // takes it first, the start fails and is tried again on another.
    for (int attempt = 0;; ++attempt) {
        const std::uint16_t port = attempt == 0 && web != 0 ? web : FreePort();
        if (StartOnce(ports, port)) return true;
        if (attempt >= 2 || Log().find("cannot listen on web port") == std::string::npos)
            return false;
    }
}

bool ServerProcess::StartOnce(const std::array<std::uint16_t, 3>& ports, std::uint16_t web) {
    error_.clear();
    webPort_ = 0;
    std::error_code ec;
    fs::remove(portsPath_, ec);

    std::vector<std::string> args = {ZQ_BIN_DIR "/zq-server",
                                     "--request-port",
                                     std::to_string(ports[0]),
                                     "--push-port",
                                     std::to_string(ports[1]),
                                     "--data-port",
                                     std::to_string(ports[2]),
                                     "--db",
                                     dbPath_,
                                     "--ports-file",
                                     portsPath_,
                                     "--web-port",
                                     std::to_string(web)};
    // Tests count records: the market's own signals only for a test that asks for them; and
    // every market open whatever the hour, unless a test asks for the trading hours
    // ({"--trading-hours", "standard"}). A later option wins.
    // Tests log in as the demo members.
    args.insert(args.end(), {"--auto-signals", "0", "--trading-hours", "always", "--demo-members"});
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
        error_ = "cannot open " + logPath_;
        return false;
    }
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec. The server dies with the test.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(logFd);
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    pid_ = pid;

    const auto until = Clock::now() + kStartLimit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "the server ended during start-up (status " + std::to_string(status) + "):\n" +
                     Tail(Log(), 2000);
            return false;
        }
        std::ifstream in(portsPath_);
        unsigned r = 0, p = 0, d = 0, c = 0, w = 0;
        if (in >> r >> p >> d) {
            ports_ = {static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(p),
                      static_cast<std::uint16_t>(d)};
            if (in >> c >> w) webPort_ = static_cast<std::uint16_t>(w);
            if (ConnectLocal(ports_[0]).Valid()) {
                if (c != 0) {
                    // The secret the server made beside its database, for ControlCommand.
                    std::ifstream file(dir_ + "/control-secret");
                    std::string secret;
                    std::getline(file, secret);
                    std::lock_guard<std::mutex> lock(secretsMutex);
                    secrets[static_cast<std::uint16_t>(c)] = secret;
                }
                return true;
            }
        }
        if (Clock::now() >= until) {
            error_ = "the server did not come up:\n" + Tail(Log(), 2000);
            Stop();
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool ServerProcess::Stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGTERM);
    std::optional<int> status = WaitExit(pid_, kStopLimit);
    if (!status) {
        ::kill(pid_, SIGKILL);
        status = WaitExit(pid_, kStopLimit);
    }
    pid_ = -1;
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

bool ServerProcess::Kill() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    std::optional<int> status = WaitExit(pid_, kStopLimit);
    pid_ = -1;
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
}

bool ServerProcess::Restart() {
    const std::array<std::uint16_t, 3> previous = ports_;
    const std::uint16_t previousWeb = webPort_;
    Stop();
    if (Start(previous, previousWeb)) return true;
    // A port was taken meanwhile: any free ports will do.
    return Start({0, 0, 0}, 0);
}

std::string ServerProcess::webBase() const {
    return "http://127.0.0.1:" + std::to_string(webPort_);
}

void PointClientWebAt(const ServerProcess& server) {
    ::setenv("ZQ_WEB_BASE", server.webBase().c_str(), 1);
    ReloadConfig();
}

Socket ConnectLocal(std::uint16_t port, int readTimeoutMs) {
    return Socket::Connect(htonl(INADDR_LOOPBACK), port, readTimeoutMs);
}

Socket ConnectFrom(const char* from, std::uint16_t port, int readTimeoutMs) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid()) return s;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(s.Fd(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return Socket();
    s.SetReadTimeout(readTimeoutMs);
    return s;
}

RequestHeader Header(std::int32_t command, const std::array<std::int32_t, 4>& key,
                     std::int32_t accountClass) {
    RequestHeader h{};
    h.command = command;
    for (int i = 0; i < 4; ++i) h.key[i] = key[static_cast<std::size_t>(i)];
    h.accountClass = accountClass;
    return h;
}

std::optional<VerificationAnswer> FetchVerification(Socket& s) {
    RequestHeader h = Header(cmd::VerificationImage);
    if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h)) return std::nullopt;
    VerificationAnswer a;
    a.pixels.resize(kVerifyImageBytes);
    if (ReceiveExact(s, a.pixels.data(), kVerifyImageBytes) != kVerifyImageBytes)
        return std::nullopt;
    if (ReceiveExact(s, a.key.data(), kVerifyKeyBytes) != kVerifyKeyBytes) return std::nullopt;
    return a;
}

std::optional<LoginReply> SendLogin(Socket& s, const std::string& name, const std::string& password,
                                    const std::string& code,
                                    const std::array<std::int32_t, 4>& key) {
    LoginRequest req = MakeLoginRequest(ToAnsi(name), ToAnsi(password), ToAnsi(code), key.data(),
                                        "HFIJKLMNOPQR", "GenuineIntel");
    RequestHeader h{};
    h.command = cmd::Login;
    if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h)) return std::nullopt;
    if (s.Send(&req, sizeof req) != static_cast<int>(sizeof req)) return std::nullopt;
    LoginReply reply;
    if (ReceiveExact(s, &reply, sizeof reply) != static_cast<int>(sizeof reply))
        return std::nullopt;
    return reply;
}

std::optional<LoggedIn> LoginAs(std::uint16_t requestPort, const std::string& name,
                                const std::string& password, const std::string& code) {
    Socket s = ConnectLocal(requestPort);
    if (!s.Valid()) return std::nullopt;
    std::optional<VerificationAnswer> image = FetchVerification(s);
    if (!image) return std::nullopt;
    std::optional<LoginReply> reply = SendLogin(s, name, password, code, image->key);
    s.ShutdownClose();
    if (!reply || !LoginSucceeded(reply->result)) return std::nullopt;
    return LoggedIn{image->key, reply->accountClass, reply->programTrading, reply->result};
}

std::uint16_t ServerProcess::controlPort() const {
    std::ifstream in(portsPath_);
    unsigned r = 0, p = 0, d = 0, c = 0;
    if (in >> r >> p >> d >> c) return static_cast<std::uint16_t>(c);
    return 0;
}

std::string ControlCommand(std::uint16_t controlPort, const std::string& line) {
    Socket s = ConnectLocal(controlPort);
    if (!s.Valid()) return {};
    const std::string out = "auth " + ControlSecret(controlPort) + "\n" + line + "\n";
    if (s.Send(out.data(), out.size()) != static_cast<int>(out.size())) return {};
    std::string answer;
    char c = 0;
    while (s.Recv(&c, 1) == 1 && c != '\n') answer.push_back(c);
    if (answer != "ok authorised") return answer;
    answer.clear();
    while (s.Recv(&c, 1) == 1 && c != '\n') answer.push_back(c);
    s.ShutdownClose();
    return answer;
}

std::optional<PushFrame> ReadPushFrame(Socket& s) {
    PushFrame f;
    if (ReceiveExact(s, &f.type, sizeof f.type) != static_cast<int>(sizeof f.type))
        return std::nullopt;
    if (f.type == 1) {
        if (ReceiveExact(s, &f.record, sizeof f.record) != static_cast<int>(sizeof f.record))
            return std::nullopt;
    } else if (f.type == 2) {
        std::int32_t head[3];
        if (ReceiveExact(s, head, sizeof head) != static_cast<int>(sizeof head))
            return std::nullopt;
        f.more = head[0];
        f.time = head[1];
        if (head[2] < 0 || head[2] > 1 << 20) return std::nullopt;
        f.text.resize(static_cast<std::size_t>(head[2]));
        if (head[2] > 0 && ReceiveExact(s, f.text.data(), head[2]) != head[2]) return std::nullopt;
    } else if (f.type == 3) {
        char body[100];
        if (ReceiveExact(s, body, sizeof body) != static_cast<int>(sizeof body))
            return std::nullopt;
    }
    return f;
}

Socket SubscribePush(std::uint16_t pushPort, const std::array<std::int32_t, 4>& key,
                     int readTimeoutMs) {
    Socket s = ConnectLocal(pushPort, readTimeoutMs);
    if (!s.Valid()) return s;
    RequestHeader h = Header(cmd::Subscribe, key);
    if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h)) return Socket();
    return s;
}

bool PeerClosed(Socket& s) {
    char c = 0;
    return s.Recv(&c, 1) == 0;
}

std::optional<HistoryReply> RequestHistory(std::uint16_t dataPort, std::int32_t command,
                                           const std::string& keyA, const std::string& keyB,
                                           const std::array<std::int32_t, 4>& key) {
    Socket s = ConnectLocal(dataPort);
    if (!s.Valid()) return std::nullopt;
    RequestHeader h = Header(command, key);
    char keys[26] = {};
    std::memcpy(keys, keyA.data(), std::min<std::size_t>(keyA.size(), 12));
    std::memcpy(keys + 13, keyB.data(), std::min<std::size_t>(keyB.size(), 12));
    if (s.Send(&h, sizeof h) != static_cast<int>(sizeof h) ||
        s.Send(keys, sizeof keys) != static_cast<int>(sizeof keys))
        return std::nullopt;
    HistoryReply reply;
    if (ReceiveExact(s, &reply.length, sizeof reply.length) !=
        static_cast<int>(sizeof reply.length))
        return std::nullopt;
    if (reply.length < 0) return std::nullopt;
    std::vector<char> archive(static_cast<std::size_t>(reply.length));
    if (reply.length > 0 && ReceiveExact(s, archive.data(), reply.length) != reply.length)
        return std::nullopt;
    if (ReceiveExact(s, reply.trailer.data(), static_cast<int>(reply.trailer.size())) !=
        static_cast<int>(reply.trailer.size()))
        return std::nullopt;
    s.ShutdownClose();
    if (reply.length == 0) return reply;

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archive.data(), archive.size(), 0, &error);
    zip_t* za = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    zip_error_fini(&error);
    if (!za) {
        if (source) zip_source_free(source);
        reply.unzipped = false;
        return reply;
    }
    const zip_int64_t items = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < items; ++i) {
        zip_stat_t st;
        zip_file_t* f = nullptr;
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0 ||
            !(f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0))) {
            reply.unzipped = false;
            break;
        }
        std::vector<char> data(static_cast<std::size_t>(st.size));
        const zip_int64_t got = zip_fread(f, data.data(), data.size());
        zip_fclose(f);
        if (got != static_cast<zip_int64_t>(data.size())) {
            reply.unzipped = false;
            break;
        }
        reply.itemSizes.push_back(data.size());
        for (std::size_t at = 0; at + sizeof(BarRecord) <= data.size(); at += sizeof(BarRecord)) {
            BarRecord r;
            std::memcpy(&r, data.data() + at, sizeof r);
            reply.bars.push_back(r);
        }
    }
    zip_close(za);
    return reply;
}

}  // namespace zq::test
