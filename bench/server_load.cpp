// The stand-in server under load and under attack, on loopback, as an operator would try it on one
// machine: members simulated from the addresses 127.0.0.x and 127.0.1.x against a server this
// program starts (or one named by the environment). It prints one table:
//
//   push links held at the market's pace, and the server's tick delay on them;
//   orders a second with the p99 order answer while members trade (ticks measured meanwhile);
//   login latency p50/p99 for a member on an address of its own while each attack runs, and
//   whether that member still logs in once the attack has ended;
//   another member's order answer beside one member's long history of cancelled orders;
//   the server's resident memory and threads (from /proc/<pid>).
//
// Tick delay: every market record is known by its instrument and prices, and on each link the
// records of one market step come in the order of their instruments. A record's delay counts
// from its step's moment: on the market's schedule (a step every ZQ_LOAD_STEP_MS, its phase from
// the earliest of the first steps), or when the step before was handed out, if that was later.
// On schedule, a delay beyond half a step cannot be told from the next step's. A record arrives
// when the kernel took it in on the link (its receive stamp), not when this program's one reader
// of all the links came to it.
//
// Scale (environment; the defaults are a short run):
//   ZQ_LOAD_LINKS (200) push links, ZQ_LOAD_LINKS_PER_MEMBER (1); ZQ_LOAD_TIMED_LINKS (1000):
//     the tick delay is timed on that many of them, spread evenly (every link is read and
//     counted as held)
//   ZQ_LOAD_TRADERS (20) members trading, ZQ_LOAD_ORDER_RATE (0: as fast as answered) orders/s
//   ZQ_LOAD_SECONDS (5) length of each measuring phase
//   ZQ_LOAD_STEP_MS (100) the market's step
//   ZQ_LOAD_IDLE (400) idle connections over ZQ_LOAD_IDLE_ADDRESSES (2) addresses
//   ZQ_LOAD_IMAGE_ADDRESSES (128) addresses asking ZQ_LOAD_IMAGES_EACH (33) images each
//   ZQ_LOAD_MEMBER_LINKS (400) push links of one member
//   ZQ_LOAD_CANCELLED (12000) cancelled orders of one member
//   ZQ_LOAD_ATTACKS (idle,trickle,links,history,images) the attacks run, in this order
//   ZQ_LOAD_SERVER the zq-server program (default: beside this one); ZQ_LOAD_KEEP=1 keeps its
//     directory in /tmp (database and log)
//   ZQ_LOAD_REQUEST_PORT, ZQ_LOAD_PUSH_PORT, ZQ_LOAD_WEB_PORT, ZQ_LOAD_PID: a running server
//     instead, started with --fixed-code AB12, with members load0, load1, ... (password
//     "load-pass").
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "market/wire/bar_record.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "net/wire/login_records.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace {

using namespace zq;
using Clock = std::chrono::steady_clock;
using Key = std::array<std::int32_t, 4>;

constexpr const char* kCode = "AB12";
constexpr const char* kPassword = "load-pass";
constexpr std::int32_t kGold = 1;

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}
std::string EnvText(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, i == 0 ? 0 : i - 1)];
}

// 127.a.b.c in host order.
std::uint32_t Loopback(std::uint32_t low24) {
    return (127u << 24) | (low24 & 0xffffffu);
}

// ---- Sockets ----

// A blocking connection from `source` (host order) to 127.0.0.1:`port`, with send and receive
// time-outs; -1 when it fails.
int ConnectFrom(std::uint32_t source, std::uint16_t port, int timeoutMs = 10000) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(Loopback(1));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

RequestHeader HeaderOf(std::int32_t command, const Key& key = {}) {
    RequestHeader h{};
    h.command = command;
    for (std::size_t i = 0; i < 4; ++i) h.key[i] = key[i];
    return h;
}

// One request connection of a member.
class Link {
  public:
    Link(std::uint32_t source, std::uint16_t port, Key key)
        : fd_(ConnectFrom(source, port)), key_(key) {}
    ~Link() {
        if (fd_ >= 0) ::close(fd_);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    bool Valid() const { return fd_ >= 0; }

    template <typename Answer>
    std::optional<Answer> Ask(std::int32_t command, const void* payload, std::size_t size) {
        const RequestHeader h = HeaderOf(command, key_);
        Answer a{};
        if (fd_ < 0 || !SendAll(fd_, &h, sizeof h) || (size && !SendAll(fd_, payload, size)) ||
            !RecvAll(fd_, &a, sizeof a))
            return std::nullopt;
        return a;
    }
    template <typename Record, typename Payload>
    std::optional<std::vector<Record>> List(std::int32_t command, const Payload& payload) {
        const auto count = Ask<std::int32_t>(command, &payload, sizeof payload);
        if (!count || *count < 0 || *count > 100000) return std::nullopt;
        std::vector<Record> out(static_cast<std::size_t>(*count));
        for (Record& r : out)
            if (!RecvAll(fd_, &r, sizeof r)) return std::nullopt;
        return out;
    }

  private:
    int fd_;
    Key key_;
};

// ---- Logins ----

struct Login {
    bool ok = false;
    Key key{};
    double ms = 0;
};

// The verification image and the login on one connection from `source`.
Login LogIn(std::uint32_t source, std::uint16_t port, const std::string& name) {
    Login out;
    const auto start = Clock::now();
    const int fd = ConnectFrom(source, port);
    if (fd < 0) return out;
    const RequestHeader image = HeaderOf(cmd::VerificationImage);
    std::vector<char> pixels(kVerifyImageBytes);
    Key key{};
    LoginReply reply{};
    if (SendAll(fd, &image, sizeof image) && RecvAll(fd, pixels.data(), pixels.size()) &&
        RecvAll(fd, key.data(), kVerifyKeyBytes)) {
        const LoginRequest request =
            MakeLoginRequest(ToAnsi(name), ToAnsi(kPassword), ToAnsi(kCode), key.data(),
                             "HFIJKLMNOPQR", "GenuineIntel");
        const RequestHeader h = HeaderOf(cmd::Login);
        if (SendAll(fd, &h, sizeof h) && SendAll(fd, &request, sizeof request) &&
            RecvAll(fd, &reply, sizeof reply) && LoginSucceeded(reply.result)) {
            out.ok = true;
            out.key = key;
        }
    }
    ::close(fd);
    out.ms = MsSince(start);
    return out;
}

std::string MemberName(int i) {
    return "load" + std::to_string(i);
}

// ---- The server ----

struct Server {
    pid_t pid = -1;  // ours to stop; -1 for a server named by the environment
    int watchPid = -1;
    std::uint16_t request = 0, push = 0, web = 0;
    std::string dir;
};

// Members load0 ... load<count-1> with the password "load-pass": the first through the server's own
// --add-member, the others copies of its row.
bool MakeMembers(const std::string& program, const std::string& db, int count) {
    const std::string add = "printf '%s\\n' " + std::string(kPassword) + " | '" + program +
                            "' --db '" + db + "' --add-member load0 >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) return false;
    sqlite3* handle = nullptr;
    if (sqlite3_open(db.c_str(), &handle) != SQLITE_OK) return false;
    std::string sql = "BEGIN;";
    for (int i = 1; i < count; ++i)
        sql +=
            "INSERT INTO members (name, salt, password_hash, iterations, state, account_class,"
            " program_trading) SELECT '" +
            MemberName(i) +
            "', salt, password_hash, iterations, state, account_class, program_trading"
            " FROM members WHERE name = 'load0';";
    sql += "COMMIT;";
    const bool ok = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(handle);
    return ok;
}

std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(Loopback(1));
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::optional<Server> StartServer(int members, int stepMs) {
    Server s;
    if (const int port = EnvInt("ZQ_LOAD_REQUEST_PORT", 0)) {
        s.request = static_cast<std::uint16_t>(port);
        s.push = static_cast<std::uint16_t>(EnvInt("ZQ_LOAD_PUSH_PORT", 0));
        s.web = static_cast<std::uint16_t>(EnvInt("ZQ_LOAD_WEB_PORT", 0));
        s.watchPid = EnvInt("ZQ_LOAD_PID", -1);
        return s;
    }
    char dirTemplate[] = "/tmp/zq-load-XXXXXX";
    if (!::mkdtemp(dirTemplate)) return std::nullopt;
    s.dir = dirTemplate;
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    self.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string program =
        EnvText("ZQ_LOAD_SERVER", self.substr(0, self.rfind('/') + 1) + "zq-server");
    const std::string db = s.dir + "/zq.db";
    if (!MakeMembers(program, db, members)) {
        std::fprintf(stderr, "cannot make the members with %s\n", program.c_str());
        return std::nullopt;
    }
    s.web = FreePort();
    const std::string ports = s.dir + "/ports";
    const std::vector<std::string> args = {program,
                                           "--db",
                                           db,
                                           "--ports-file",
                                           ports,
                                           "--request-port",
                                           "0",
                                           "--push-port",
                                           "0",
                                           "--data-port",
                                           "0",
                                           "--web-port",
                                           std::to_string(s.web),
                                           "--fixed-code",
                                           kCode,
                                           "--market-step-ms",
                                           std::to_string(stepMs),
                                           "--trading-hours",
                                           "always",
                                           "--auto-signals",
                                           "0"};
    s.pid = ::fork();
    if (s.pid == 0) {
        const int log = ::open((s.dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(log, 2);
        ::dup2(log, 1);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    s.watchPid = s.pid;
    for (int i = 0; i < 600; ++i) {
        std::ifstream in(ports);
        unsigned r = 0, p = 0, d = 0;
        if (in >> r >> p >> d && r && p) {
            s.request = static_cast<std::uint16_t>(r);
            s.push = static_cast<std::uint16_t>(p);
            return s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "the server did not come up; its log is in %s\n", s.dir.c_str());
    return std::nullopt;
}

void StopServer(const Server& s) {
    if (s.pid <= 0) return;
    ::kill(s.pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(s.pid, &status, WNOHANG) == s.pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(s.pid, SIGKILL);
    ::waitpid(s.pid, &status, 0);
}

// The server's directory goes unless ZQ_LOAD_KEEP asks to keep it (its log and database).
void RemoveDirectory(const Server& s) {
    if (s.pid <= 0 || EnvInt("ZQ_LOAD_KEEP", 0)) return;
    std::error_code ignored;
    std::filesystem::remove_all(s.dir, ignored);
}

// Packets the kernel dropped from its receive backlog (loopback traffic passes through it: a
// burst beyond net.core.netdev_max_backlog is dropped, data or acknowledgements, and TCP sends
// data again after its time-out), and TCP segments sent again, machine-wide since boot.
std::pair<long long, long long> KernelDropsAndResends() {
    long long drops = 0, resends = 0;
    std::ifstream softnet("/proc/net/softnet_stat");
    for (std::string line; std::getline(softnet, line);) {
        std::istringstream fields(line);
        std::string processed, dropped;
        if (fields >> processed >> dropped) drops += std::stoll(dropped, nullptr, 16);
    }
    // Two "Tcp:" lines: the names, then the values.
    std::ifstream snmp("/proc/net/snmp");
    std::vector<std::string> names;
    for (std::string line; std::getline(snmp, line);) {
        if (line.rfind("Tcp:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (names.empty()) {
            names = words;
            continue;
        }
        for (std::size_t i = 0; i < names.size() && i < words.size(); ++i)
            if (names[i] == "RetransSegs") resends = std::stoll(words[i]);
    }
    return {drops, resends};
}

// Resident memory in MiB and threads of the server.
std::pair<double, int> Footprint(int pid) {
    if (pid <= 0) return {NAN, 0};
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    double rss = NAN;
    int threads = 0;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::atof(line.c_str() + 6) / 1024.0;
        if (line.rfind("Threads:", 0) == 0) threads = std::atoi(line.c_str() + 8);
    }
    return {rss, threads};
}

// ---- Push links ----

// Every push link, read by one thread; market records are timed on arrival.
class PushLinks {
  public:
    // Arrivals are timed on every `timedEvery`-th link.
    PushLinks(int stepMs, int timedEvery) : step_(stepMs), timedEvery_(std::max(1, timedEvery)) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        reader_ = std::thread([this] { Read(); });
        sweeper_ = std::thread([this] { Sweep(); });
    }
    ~PushLinks() {
        stop_ = true;
        reader_.join();
        sweeper_.join();
        for (const auto& l : links_) ::close(l.fd);
        ::close(epoll_);
    }

    // A push link of the session from `source`; false when the connection failed.
    bool Open(std::uint32_t source, std::uint16_t port, const Key& key) {
        const int fd = ConnectFrom(source, port);
        if (fd < 0) return false;
        const RequestHeader h = HeaderOf(cmd::Subscribe, key);
        if (!SendAll(fd, &h, sizeof h)) {
            ::close(fd);
            return false;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        // Each read carries the moment the kernel took its bytes in.
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back({fd});
        // The timed links are read as their records come; the others by the sweep.
        if ((links_.size() - 1) % timedEvery_ == 0) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = links_.size() - 1;
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
        }
        return true;
    }

    // Waits up to `limit` until every link has had its first item (or is closed): a burst of
    // connections beyond the server's accept backlog would otherwise wait for retransmissions.
    void AwaitFirstItems(std::chrono::seconds limit) {
        const auto until = Clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (std::all_of(links_.begin(), links_.end(), [](const LinkState& l) {
                        return l.records > 0 || !l.buffer.empty() || l.closed;
                    }))
                    return;
            }
            if (Clock::now() >= until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Starts timing the records from now on.
    void Measure() {
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.clear();
        timedReads_ = lateReads_ = 0;
        for (auto& l : links_) l.records = 0;
        measuring_ = true;
    }
    // Links that got a record in the measured time; the delays of all arrivals, in ms.
    std::pair<int, std::vector<double>> Result() {
        std::lock_guard<std::mutex> lock(mutex_);
        measuring_ = false;
        int held = 0;
        for (const auto& l : links_) held += l.records > 0 && !l.closed;
        return {held, Delays()};
    }
    // Of the timed reads since Measure(), those that held two steps or more.
    std::pair<long, long> LateReads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {lateReads_, timedReads_};
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(links_.size());
    }

  private:
    struct LinkState {
        int fd;
        std::vector<char> buffer{};
        long records = 0;
        bool closed = false;
        // The prices of a step come in the order of their instruments: a lower instrument than
        // the last begins the link's next step.
        std::int32_t lastInstrument = 0;
        std::uint32_t step = 0;
    };
    struct Arrival {
        std::uint64_t identity;
        std::size_t link;
        std::uint64_t linkStep;  // the link and its step
        double at;               // ms on the steady clock
    };

    // The wall clock in ms, the clock of the kernel's receive stamps.
    static double Now() {
        timespec t{};
        ::clock_gettime(CLOCK_REALTIME, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    }

    // One read of the link, and when its last bytes reached the machine (the kernel's stamp, so
    // that this reader's own lag behind 10,000 links is not counted as the server's); 0 at the
    // end of the link, -1 with errno otherwise.
    static ssize_t Receive(int fd, std::vector<char>& chunk, double& at) {
        iovec io{chunk.data(), chunk.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd, &m, 0);
        at = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); got > 0 && c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t{};
                std::memcpy(&t, CMSG_DATA(c), sizeof t);
                at = static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
            }
        if (got > 0 && at == 0) at = Now();
        return got;
    }

    // One read of a link; false when it took all there was.
    bool Take(LinkState& l, std::vector<char>& chunk) {
        double at = 0;
        const ssize_t got = Receive(l.fd, chunk, at);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            l.closed = true;
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, l.fd, nullptr);
        }
        if (got <= 0) return false;
        l.buffer.insert(l.buffer.end(), chunk.data(), chunk.data() + got);
        Parse(l, at);
        return static_cast<std::size_t>(got) == chunk.size();
    }

    // The timed links as their records come, one read a wake (what it leaves, the next wait
    // reports again). A read carries the kernel's stamp of its last bytes only, so this thread
    // does nothing else: a read that took two steps at once would time the first by the second.
    void Read() {
        // The measuring instrument keeps up with the server it measures: beside the server's
        // real-time hand-out (where the system allows it), as high as that, else the default.
        sched_param realTime{};
        realTime.sched_priority = 1;
        sched_setscheduler(0, SCHED_RR, &realTime);
        std::vector<epoll_event> events(256);
        std::vector<char> chunk(65536);
        while (!stop_) {
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 50);
            for (int i = 0; i < n; ++i) {
                std::lock_guard<std::mutex> lock(mutex_);
                Take(links_[events[static_cast<std::size_t>(i)].data.u64], chunk);
            }
        }
    }

    // The other links every kSweepMs, each read taking what came meanwhile. A client that reads
    // late costs the server nothing more: it sends every step to every link alike, and this
    // program, which plays 10,000 clients on the server's own two cores, spares them the reads it
    // does not time.
    void Sweep() {
        std::vector<char> chunk(65536);
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSweepMs));
            for (std::size_t i = 0;; ++i) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (i >= links_.size()) break;
                if (i % timedEvery_ == 0 || links_[i].closed) continue;
                while (Take(links_[i], chunk)) {
                }
            }
        }
    }

    // Takes the whole items off the link's buffer; their records came at `now`.
    void Parse(LinkState& l, double now) {
        std::size_t at = 0;
        bool timed = false;
        const std::uint32_t firstStep = l.step;
        for (;;) {
            if (l.buffer.size() - at < 4) break;
            std::int32_t type = 0;
            std::memcpy(&type, l.buffer.data() + at, 4);
            std::size_t body = 0;
            if (type == push::Record) body = sizeof(BarRecord);
            if (type == push::Discard) body = 100;
            if (type == push::Message) {
                if (l.buffer.size() - at < 16) break;
                std::int32_t length = 0;
                std::memcpy(&length, l.buffer.data() + at + 12, 4);
                body = 12 + static_cast<std::size_t>(std::max(length, 0));
            }
            if (l.buffer.size() - at < 4 + body) break;
            if (type == push::Record) {
                BarRecord r;
                std::memcpy(&r, l.buffer.data() + at + 4, sizeof r);
                ++l.records;
                const auto link = static_cast<std::size_t>(&l - links_.data());
                if (measuring_ && link % timedEvery_ == 0) {
                    std::uint64_t id = static_cast<std::uint32_t>(r.instrument);
                    for (const std::int32_t v : {r.open, r.close, r.high, r.low})
                        id = id * 1000003u ^ static_cast<std::uint32_t>(v);
                    if (r.instrument <= l.lastInstrument) ++l.step;
                    l.lastInstrument = r.instrument;
                    arrivals_.push_back({id, link, std::uint64_t{link} << 32 | l.step, now});
                    timed = true;
                }
            }
            if (type == push::Closed || type == push::ForcedOffline) l.closed = true;
            at += 4 + body;
        }
        l.buffer.erase(l.buffer.begin(), l.buffer.begin() + static_cast<std::ptrdiff_t>(at));
        // A read that took a step and the start of the next times the first by the second's
        // stamp (late by up to a step): how often this reader fell that far behind.
        if (timed) {
            ++timedReads_;
            if (l.step >= firstStep + 2) ++lateReads_;
        }
    }

    // Each arrival after its step's moment on the clock's schedule. A record that came twice
    // to one link (a price that went back to the same bar) cannot be told apart and is left out.
    std::vector<double> Delays() const {
        std::unordered_map<std::uint64_t, double> first;
        std::vector<std::uint64_t> repeated;
        {
            std::unordered_map<std::uint64_t, std::vector<std::size_t>> links;
            for (const Arrival& a : arrivals_) links[a.identity].push_back(a.link);
            for (auto& [id, on] : links) {
                std::sort(on.begin(), on.end());
                if (std::adjacent_find(on.begin(), on.end()) != on.end()) repeated.push_back(id);
            }
        }
        std::sort(repeated.begin(), repeated.end());
        auto isRepeated = [&](std::uint64_t id) {
            return std::binary_search(repeated.begin(), repeated.end(), id);
        };
        for (const Arrival& a : arrivals_) {
            if (isRepeated(a.identity)) continue;
            auto [it, added] = first.emplace(a.identity, a.at);
            if (!added) it->second = std::min(it->second, a.at);
        }
        if (first.empty()) return {};
        // A market step: the records that came within one step of some link, joined over all
        // links; its start is its first arrival anywhere.
        std::unordered_map<std::uint64_t, std::uint64_t> parent;
        std::function<std::uint64_t(std::uint64_t)> root = [&](std::uint64_t id) {
            auto it = parent.find(id);
            if (it == parent.end() || it->second == id) return id;
            return it->second = root(it->second);
        };
        {
            std::unordered_map<std::uint64_t, std::uint64_t> firstOfLinkStep;
            for (const Arrival& a : arrivals_) {
                if (isRepeated(a.identity)) continue;
                parent.emplace(a.identity, a.identity);
                auto [it, added] = firstOfLinkStep.emplace(a.linkStep, a.identity);
                if (!added) parent[root(a.identity)] = root(it->second);
            }
        }
        std::unordered_map<std::uint64_t, double> startOf;
        for (const auto& [id, t] : first) {
            auto [it, added] = startOf.emplace(root(id), t);
            if (!added) it->second = std::min(it->second, t);
        }
        std::vector<std::pair<double, std::uint64_t>> steps;
        for (const auto& [r, t] : startOf) steps.emplace_back(t, r);
        std::sort(steps.begin(), steps.end());
        std::vector<double> starts;
        std::unordered_map<std::uint64_t, std::size_t> indexOf;
        for (const auto& [t, r] : steps) {
            indexOf[r] = starts.size();
            starts.push_back(t);
        }
        std::unordered_map<std::uint64_t, std::size_t> stepOf;
        for (const auto& [id, t] : first) stepOf[id] = indexOf[root(id)];
        // When the market stepped: whole steps after the last on the clock's schedule, unless the
        // last step was still being handed out then (the clock steps again when it is done: the
        // moment its last record first arrived). The schedule's phase is that of the earliest of
        // the first steps. A delay beyond half a step on schedule reads as the next step's.
        std::vector<double> ends(starts.size(), -INFINITY);
        for (const auto& [id, t] : first) {
            double& end = ends[stepOf[id]];
            end = std::max(end, t);
        }
        std::vector<double> moments(starts.size());
        double origin = INFINITY;
        for (std::size_t j = 0; j < std::min<std::size_t>(starts.size(), 30); ++j)
            origin = std::min(origin, starts[j] - static_cast<double>(j) * step_);
        for (std::size_t i = 0; i < starts.size(); ++i) {
            double due = origin;
            if (i > 0) {
                // Steps that moved no price leave gaps of whole steps.
                const double steps =
                    std::max(1.0, std::floor((starts[i] - moments[i - 1]) / step_ + 0.5));
                due = std::max(moments[i - 1] + steps * step_, ends[i - 1]);
            }
            moments[i] = std::min(due, starts[i]);
        }
        std::unordered_map<std::uint64_t, double> moment;
        for (const auto& [id, t] : first) moment[id] = moments[stepOf[id]];
        std::vector<double> out;
        out.reserve(arrivals_.size());
        for (const Arrival& a : arrivals_)
            if (!isRepeated(a.identity)) out.push_back(a.at - moment[a.identity]);
        return out;
    }

    static constexpr int kSweepMs = 500;
    const double step_;
    const std::size_t timedEvery_;
    int epoll_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<LinkState> links_;
    // A deque: growing it never stops the reader to copy what it holds.
    std::deque<Arrival> arrivals_;
    long timedReads_ = 0, lateReads_ = 0;
    bool measuring_ = false;
    std::thread reader_, sweeper_;
};

// ---- Trading ----

// One lot of gold bought: at the market, or a pending order valid for the week.
OpenOrderRequest GoldBuy(std::int32_t kind, float price) {
    OpenOrderRequest r{};
    r.instrument = kGold;
    r.direction = direction::Buy;
    r.lots = 1;
    r.price = price;
    r.orderKind = kind;
    if (kind == order_kind::Pending) r.validity = order_validity::ThisWeek;
    return r;
}

struct TradeFigures {
    long answered = 0;
    std::vector<double> answerMs;
};

// Members trading for `seconds`: a market order, then closing what they hold, over and over.
// `rate` (orders a second for all together, 0: unpaced).
TradeFigures Trade(const std::vector<Key>& keys, std::uint16_t port, int seconds, int rate,
                   int firstAddress) {
    std::mutex mutex;
    TradeFigures all;
    std::vector<std::thread> threads;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (std::size_t i = 0; i < keys.size(); ++i)
        threads.emplace_back([&, i] {
            Link link(Loopback(static_cast<std::uint32_t>(firstAddress) + i), port, keys[i]);
            TradeFigures mine;
            const auto gap = rate > 0 ? std::chrono::microseconds(
                                            1000000LL * static_cast<long long>(keys.size()) / rate)
                                      : std::chrono::microseconds(0);
            auto next = Clock::now();
            auto timed = [&](auto&& ask) {
                if (rate > 0) {
                    std::this_thread::sleep_until(next);
                    next += gap;
                }
                const auto t = Clock::now();
                const bool ok = ask();
                if (ok) {
                    mine.answerMs.push_back(MsSince(t));
                    ++mine.answered;
                }
                return ok;
            };
            while (Clock::now() < end && link.Valid()) {
                const OpenOrderRequest open = GoldBuy(order_kind::Market, 1650);
                if (!timed([&] {
                        return link.Ask<std::int32_t>(cmd::OpenOrder, &open, sizeof open)
                            .has_value();
                    }))
                    break;
                const auto positions =
                    link.List<PositionRecord>(cmd::LoadPositions, LoadPositionsRequest{});
                if (!positions) break;
                for (const PositionRecord& p : *positions) {
                    PendingOrderRecord close{};
                    close.instrument = p.instrument;
                    close.direction =
                        p.direction == direction::Buy ? direction::Sell : direction::Buy;
                    close.quantity = p.heldQuantity;
                    close.price = p.openPrice;
                    std::memcpy(close.relatedPosition, p.ticket, sizeof p.ticket);
                    if (!timed([&] {
                            return link.Ask<std::int32_t>(cmd::ClosePosition, &close, sizeof close)
                                .has_value();
                        }))
                        break;
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            all.answered += mine.answered;
            all.answerMs.insert(all.answerMs.end(), mine.answerMs.begin(), mine.answerMs.end());
        });
    for (std::thread& t : threads) t.join();
    return all;
}

// ---- The table ----

void Row(const std::string& measure, const std::string& figure) {
    std::printf("%-64s %s\n", measure.c_str(), figure.c_str());
    std::fflush(stdout);
}
std::string Fixed(double v, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}
std::string P50P99(const std::vector<double>& v) {
    return Fixed(Percentile(v, 0.50)) + " / " + Fixed(Percentile(v, 0.99)) + " ms";
}

// A member on an address of its own logging in again and again while `attack` lasts, then once
// more after it has ended.
void LoginsDuring(const std::string& name, std::uint16_t port, const std::string& member,
                  int seconds, const std::function<void()>& start,
                  const std::function<void()>& end) {
    start();
    std::vector<double> ms;
    int tries = 0;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        ++tries;
        const Login l = LogIn(Loopback(250), port, member);
        if (l.ok)
            ms.push_back(l.ms);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    end();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const bool after = LogIn(Loopback(251), port, member).ok;
    Row("login during " + name + " (p50 / p99; logged in)",
        P50P99(ms) + "; " + std::to_string(ms.size()) + " of " + std::to_string(tries) +
            (after ? "; logs in after" : "; REFUSED after"));
}

// Connections held open from `addresses` addresses (from 127.0.1.1 on), `count` in all.
std::vector<int> Hold(std::uint16_t port, int count, int addresses, std::uint32_t base) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd =
            ConnectFrom(Loopback(base + static_cast<std::uint32_t>(i % addresses)), port, 2000);
        if (fd >= 0) fds.push_back(fd);
    }
    return fds;
}
void CloseAll(std::vector<int>& fds) {
    for (const int fd : fds) ::close(fd);
    fds.clear();
}

}  // namespace

int main() {
    ::signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    const int links = EnvInt("ZQ_LOAD_LINKS", 200);
    const int perMember = std::max(1, EnvInt("ZQ_LOAD_LINKS_PER_MEMBER", 1));
    const int traders = EnvInt("ZQ_LOAD_TRADERS", 20);
    const int rate = EnvInt("ZQ_LOAD_ORDER_RATE", 0);
    const int seconds = std::max(1, EnvInt("ZQ_LOAD_SECONDS", 5));
    const int stepMs = std::max(10, EnvInt("ZQ_LOAD_STEP_MS", 100));
    const std::string attacks = EnvText("ZQ_LOAD_ATTACKS", "idle,trickle,links,history,images");
    const bool attack = attacks != "none";

    // Members: those holding the push links, the traders, the victim of the attacks, the member
    // with many links, the member with a long history and its neighbour.
    const int linkMembers = (links + perMember - 1) / perMember;
    const int firstTrader = linkMembers, victim = firstTrader + traders, greedy = victim + 1,
              hoarder = greedy + 1, neighbour = hoarder + 1, members = neighbour + 1;
    const auto [dropsBefore, resendsBefore] = KernelDropsAndResends();
    const std::optional<Server> server = StartServer(members, stepMs);
    if (!server) return 1;
    Row("server", server->pid > 0 ? "started here, market step " + std::to_string(stepMs) + " ms"
                                  : "given, port " + std::to_string(server->request));

    // Logins of every member, from 100 addresses, four at a time.
    std::vector<Key> keys(static_cast<std::size_t>(members));
    std::vector<double> loginMs;
    std::mutex loginMutex;
    {
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = next++; i < members; i = next++) {
                    const Login l = LogIn(Loopback(10 + static_cast<std::uint32_t>(i % 100)),
                                          server->request, MemberName(i));
                    std::lock_guard<std::mutex> lock(loginMutex);
                    if (l.ok) loginMs.push_back(l.ms);
                    keys[static_cast<std::size_t>(i)] = l.key;
                }
            });
        for (std::thread& t : threads) t.join();
    }
    Row("logins without load (p50 / p99; logged in)",
        P50P99(loginMs) + "; " + std::to_string(loginMs.size()) + " of " + std::to_string(members));

    PushLinks push(stepMs, links / std::max(1, EnvInt("ZQ_LOAD_TIMED_LINKS", 1000)));
    // In bursts of 500, each taken in before the next.
    for (int i = 0; i < links; ++i) {
        push.Open(Loopback(1u << 8 | (1 + static_cast<std::uint32_t>(i % 200))), server->push,
                  keys[static_cast<std::size_t>(i / perMember)]);
        if ((i + 1) % 500 == 0) push.AwaitFirstItems(std::chrono::seconds(10));
    }
    push.AwaitFirstItems(std::chrono::seconds(10));
    Row("push links opened", std::to_string(push.Count()) + " of " + std::to_string(links));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    push.Measure();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    {
        const auto [held, delays] = push.Result();
        Row("push links held at " + std::to_string(1000 / stepMs) + " ticks/s",
            std::to_string(held));
        Row("tick delay, no orders (p50 / p99)", P50P99(delays));
    }
    auto lateReads = [&] {
        const auto [late, reads] = push.LateReads();
        Row("  timed reads that held two steps (this program behind)",
            std::to_string(late) + " of " + std::to_string(reads));
    };
    lateReads();
    const auto [idleRss, idleThreads] = Footprint(server->watchPid);
    Row("server RSS / threads with the links",
        Fixed(idleRss) + " MiB / " + std::to_string(idleThreads));

    std::vector<Key> traderKeys(keys.begin() + firstTrader, keys.begin() + victim);
    push.Measure();
    const auto trading = Trade(traderKeys, server->request, seconds, rate, 1u << 16 | 1);
    {
        const auto [held, delays] = push.Result();
        Row("orders/s, " + std::to_string(traders) + " members trading" +
                (rate ? " (asked " + std::to_string(rate) + "/s)" : ""),
            Fixed(static_cast<double>(trading.answered) / seconds, 0));
        Row("order answer (p50 / p99)", P50P99(trading.answerMs));
        Row("push links held while they trade", std::to_string(held));
        Row("tick delay while they trade (p50 / p99)", P50P99(delays));
    }
    lateReads();
    const auto [rss, threads] = Footprint(server->watchPid);
    Row("server RSS / threads while they trade", Fixed(rss) + " MiB / " + std::to_string(threads));

    const std::string victimName = MemberName(victim);
    auto has = [&](const char* name) { return attack && attacks.find(name) != std::string::npos; };
    if (has("idle")) {
        const int count = EnvInt("ZQ_LOAD_IDLE", 400);
        const int addresses = std::max(1, EnvInt("ZQ_LOAD_IDLE_ADDRESSES", 2));
        std::vector<int> fds;
        LoginsDuring(
            std::to_string(count) + " idle connections from " + std::to_string(addresses) +
                " addresses",
            server->request, victimName, seconds,
            [&] { fds = Hold(server->request, count, addresses, 1u << 8 | 1); },
            [&] { CloseAll(fds); });
    }
    if (has("trickle") && server->web) {
        std::vector<int> fds;
        std::atomic<bool> stop{false};
        std::thread trickle;
        std::vector<double> pages;
        LoginsDuring(
            "8 x 8 trickling web connections", server->request, victimName, seconds,
            [&] {
                fds = Hold(server->web, 64, 8, 3u << 8 | 1);
                trickle = std::thread([&] {
                    const char* line = "GET / HTTP/1.1\r\n";
                    for (std::size_t i = 0; !stop; ++i) {
                        for (const int fd : fds) ::send(fd, line + i % 16, 1, MSG_NOSIGNAL);
                        for (int k = 0; k < 50 && !stop; ++k)
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                });
                // A page asked for meanwhile from another address.
                const auto t = Clock::now();
                const int fd = ConnectFrom(Loopback(3u << 8 | 200), server->web, 5000);
                const std::string get = "GET / HTTP/1.0\r\n\r\n";
                char c = 0;
                if (fd >= 0 && SendAll(fd, get.data(), get.size()) && ::recv(fd, &c, 1, 0) == 1)
                    pages.push_back(MsSince(t));
                if (fd >= 0) ::close(fd);
            },
            [&] {
                stop = true;
                trickle.join();
                CloseAll(fds);
            });
        Row("  web page answered during the trickle",
            pages.empty() ? "no answer" : Fixed(pages[0]) + " ms");
    }
    if (has("links")) {
        const int count = EnvInt("ZQ_LOAD_MEMBER_LINKS", 400);
        std::vector<int> fds;
        LoginsDuring(
            std::to_string(count) + " push links of one member", server->request, victimName,
            seconds,
            [&] {
                const RequestHeader h =
                    HeaderOf(cmd::Subscribe, keys[static_cast<std::size_t>(greedy)]);
                for (int i = 0; i < count; ++i) {
                    const int fd =
                        ConnectFrom(Loopback(4u << 8 | (1 + static_cast<std::uint32_t>(i % 2))),
                                    server->push, 2000);
                    if (fd < 0) continue;
                    SendAll(fd, &h, sizeof h);
                    fds.push_back(fd);
                }
            },
            [&] { CloseAll(fds); });
    }
    if (has("history")) {
        const int cancelled = EnvInt("ZQ_LOAD_CANCELLED", 12000);
        const std::vector<Key> one = {keys[static_cast<std::size_t>(neighbour)]};
        // The hoarder places pending orders and cancels them, one after another.
        Link link(Loopback(5u << 8 | 10), server->request, keys[static_cast<std::size_t>(hoarder)]);
        std::atomic<int> made{0};
        auto churn = [&](const std::function<bool()>& more) {
            while (more() && link.Valid()) {
                const OpenOrderRequest r = GoldBuy(order_kind::Pending, 1000);
                if (link.Ask<std::int32_t>(cmd::OpenOrder, &r, sizeof r).value_or(0) != 1) return;
                LoadOrdersRequest list{};
                list.selector = order_status::Waiting;
                const auto orders = link.List<PendingOrderRecord>(cmd::LoadPending, list);
                if (!orders) return;
                for (const PendingOrderRecord& o : *orders) {
                    char request[kDeleteOrderRequestSize] = {};
                    std::memcpy(request, o.orderNumber,
                                std::min(sizeof o.orderNumber, sizeof request));
                    if (link.Ask<std::int32_t>(cmd::DeletePending, request, sizeof request)
                            .value_or(0) == 1)
                        ++made;
                }
            }
        };
        // Another member trades while the hoarder goes on.
        auto beside = [&] {
            std::atomic<bool> stop{false};
            std::thread hoarding([&] { churn([&] { return !stop.load(); }); });
            const auto figures = Trade(one, server->request, seconds, 0, 5u << 8 | 1);
            stop = true;
            hoarding.join();
            return figures;
        };
        const auto before = beside();
        churn([&] { return made < cancelled; });
        const int history = made;
        const auto after = beside();
        Row("another member's order beside one placing and cancelling (p50; orders/s)",
            Fixed(Percentile(before.answerMs, 0.5), 2) + " ms; " +
                Fixed(static_cast<double>(before.answered) / seconds, 0));
        Row("the same once that one has " + std::to_string(history) + " cancelled orders",
            Fixed(Percentile(after.answerMs, 0.5), 2) + " ms; " +
                Fixed(static_cast<double>(after.answered) / seconds, 0));
    }
    // Last: on a server that keeps every key it hands out, the flood locks logins out for good.
    if (has("images")) {
        const int addresses = EnvInt("ZQ_LOAD_IMAGE_ADDRESSES", 128);
        const int each = EnvInt("ZQ_LOAD_IMAGES_EACH", 33);
        std::atomic<long> images{0};
        LoginsDuring(
            std::to_string(each) + " images from each of " + std::to_string(addresses) +
                " addresses",
            server->request, victimName, seconds,
            [&] {
                for (int a = 0; a < addresses; ++a)
                    for (int k = 0; k < each; ++k) {
                        const int fd =
                            ConnectFrom(Loopback(2u << 8 | (1 + static_cast<std::uint32_t>(a))),
                                        server->request, 2000);
                        if (fd < 0) continue;
                        const RequestHeader h = HeaderOf(cmd::VerificationImage);
                        std::vector<char> answer(kVerifyImageBytes + kVerifyKeyBytes);
                        if (SendAll(fd, &h, sizeof h) && RecvAll(fd, answer.data(), answer.size()))
                            ++images;
                        ::close(fd);
                    }
            },
            [] {});
        Row("  images answered to the flood", std::to_string(images.load()));
    }
    const auto [endRss, endThreads] = Footprint(server->watchPid);
    Row("server RSS / threads at the end", Fixed(endRss) + " MiB / " + std::to_string(endThreads));
    const auto [dropsAfter, resendsAfter] = KernelDropsAndResends();
    Row("kernel: loopback packets dropped from the backlog; TCP resends",
        std::to_string(dropsAfter - dropsBefore) + "; " +
            std::to_string(resendsAfter - resendsBefore));
    StopServer(*server);
    RemoveDirectory(*server);
    return 0;
}
