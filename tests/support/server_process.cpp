#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/ansi_text.h"

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

}  // namespace

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
    Start({0, 0, 0});
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

bool ServerProcess::Start(const std::array<std::uint16_t, 3>& ports) {
    error_.clear();
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
                                     portsPath_};
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
        unsigned r = 0, p = 0, d = 0;
        if (in >> r >> p >> d) {
            ports_ = {static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(p),
                      static_cast<std::uint16_t>(d)};
            if (ConnectLocal(ports_[0]).Valid()) return true;
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

bool ServerProcess::Restart() {
    const std::array<std::uint16_t, 3> previous = ports_;
    Stop();
    if (Start(previous)) return true;
    // A port was taken meanwhile: any free ports will do.
    return Start({0, 0, 0});
}

Socket ConnectLocal(std::uint16_t port, int readTimeoutMs) {
    return Socket::Connect(htonl(INADDR_LOOPBACK), port, readTimeoutMs);
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

}  // namespace zq::test
