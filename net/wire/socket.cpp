#include "net/wire/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zq {

namespace timeouts {
namespace {
constexpr int kRequestAnswerDeadlineMs = 30000;
constexpr int kHistoryAnswerDeadlineMs = 120000;
std::atomic<int> g_requestAnswerMs{kRequestAnswerDeadlineMs};
std::atomic<int> g_historyAnswerMs{kHistoryAnswerDeadlineMs};
}  // namespace

int RequestAnswerDeadlineMs() {
    return g_requestAnswerMs.load();
}
int HistoryAnswerDeadlineMs() {
    return g_historyAnswerMs.load();
}
void SetAnswerDeadlinesMs(int requestMs, int historyMs) {
    g_requestAnswerMs = requestMs > 0 ? requestMs : kRequestAnswerDeadlineMs;
    g_historyAnswerMs = historyMs > 0 ? historyMs : kHistoryAnswerDeadlineMs;
}

namespace {
constexpr int kOperationDeadlineMs = 30000;
std::atomic<int> g_operationMs{kOperationDeadlineMs};
}  // namespace

int OperationDeadlineMs() {
    return g_operationMs.load();
}
void SetOperationDeadlineMs(int ms) {
    g_operationMs = ms > 0 ? ms : kOperationDeadlineMs;
}
}  // namespace timeouts

// --- OperationDeadline ---

namespace {
thread_local std::optional<OperationDeadline::Clock::time_point> t_operationDeadline;

// Milliseconds left before the calling thread's operation deadline (at least 0), or -1 when
// the thread runs no operation.
long long OperationMsLeft() {
    if (!t_operationDeadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          *t_operationDeadline - std::chrono::steady_clock::now())
                          .count();
    return left > 0 ? left : 0;
}
}  // namespace

OperationDeadline::Scope::Scope(Clock::time_point deadline) : previous_(t_operationDeadline) {
    t_operationDeadline = deadline;
}

OperationDeadline::Scope::~Scope() {
    t_operationDeadline = previous_;
}

std::optional<OperationDeadline::Clock::time_point> OperationDeadline::Current() {
    return t_operationDeadline;
}

// --- SocketGroup ---

namespace {
thread_local std::shared_ptr<SocketGroup> t_group;
}

SocketGroup::Scope::Scope(std::shared_ptr<SocketGroup> group) : previous_(std::move(t_group)) {
    t_group = std::move(group);
}

SocketGroup::Scope::~Scope() {
    t_group = std::move(previous_);
}

std::shared_ptr<SocketGroup> SocketGroup::Current() {
    return t_group;
}

void SocketGroup::Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // A descriptor leaves the set before it is closed, under this lock: none here is reused.
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
}

bool SocketGroup::Stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool SocketGroup::Add(int fd) {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    fds_.insert(fd);
    return true;
}

void SocketGroup::Remove(int fd) {
    std::lock_guard lock(mutex_);
    fds_.erase(fd);
}

// --- Socket ---

void Socket::Take(Socket& other) noexcept {
    fd_ = other.fd_;
    other.fd_ = -1;
    group_ = std::move(other.group_);
    answerMs_ = other.answerMs_;
    readMs_ = other.readMs_;
    deadline_ = other.deadline_;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        Take(other);
    }
    return *this;
}

int Socket::Release() {
    if (group_ && fd_ >= 0) group_->Remove(fd_);
    group_.reset();
    int fd = fd_;
    fd_ = -1;
    return fd;
}

Socket Socket::Connect(std::uint32_t addressNetOrder, std::uint16_t port, int readTimeoutMs,
                       int answerDeadlineMs) {
    std::shared_ptr<SocketGroup> group = SocketGroup::Current();
    if (group && group->Stopped()) return Socket();
    const long long operationLeft = OperationMsLeft();
    if (operationLeft == 0) return Socket();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Socket();
    Socket s(fd);
    // Registered before the connect, so that a stop also ends a connect that hangs.
    if (group) {
        if (!group->Add(fd)) return Socket();
        s.group_ = std::move(group);
    }
    s.answerMs_ = answerDeadlineMs > 0 ? answerDeadlineMs : 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addressNetOrder;

    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r < 0 && errno != EINPROGRESS) return Socket();
    if (r < 0) {
        pollfd p{fd, POLLOUT, 0};
        const int connectMs =
            operationLeft < 0
                ? timeouts::ConnectMs
                : static_cast<int>(std::min<long long>(operationLeft, timeouts::ConnectMs));
        int pr;
        do {
            pr = ::poll(&p, 1, connectMs);
        } while (pr < 0 && errno == EINTR);
        if (pr <= 0) return Socket();
        if (s.group_ && s.group_->Stopped()) return Socket();
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return Socket();
    }
    fcntl(fd, F_SETFL, flags);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    s.SetReadTimeout(readTimeoutMs);
    if (s.answerMs_ > 0) s.StartAnswerDeadline();  // for a read before the first send
    return s;
}

int Socket::Send(const void* data, std::size_t size) {
    if (fd_ < 0) return -1;
    if (answerMs_ > 0) StartAnswerDeadline();
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? 0 : -1;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return static_cast<int>(size);
}

void Socket::StartAnswerDeadline() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(answerMs_);
}

int Socket::Recv(void* data, std::size_t size) {
    if (fd_ < 0) return -1;
    const bool answerDeadline = answerMs_ > 0;
    const bool operationDeadline = t_operationDeadline.has_value();
    if (answerDeadline || operationDeadline) {
        // Wait no longer than the answer and the operation have left; the per-read time-out
        // still applies.
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            auto until = answerDeadline ? deadline_ : *t_operationDeadline;
            if (answerDeadline && operationDeadline) until = std::min(until, *t_operationDeadline);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            long long wait = std::min<long long>(left, 1 << 30);
            if (readMs_ > 0) wait = std::min<long long>(wait, readMs_);
            pollfd p{fd_, POLLIN, 0};
            const int pr = ::poll(&p, 1, static_cast<int>(wait));
            if (pr < 0 && errno == EINTR) continue;
            if (pr < 0) return -1;
            if (pr > 0) break;
            if (wait < left) {  // the read's own time-out
                errno = ETIMEDOUT;
                return -1;
            }
        }
    }
    for (;;) {
        ssize_t n = ::recv(fd_, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

void Socket::SetReadTimeout(int ms) {
    if (fd_ < 0) return;
    readMs_ = ms > 0 ? ms : 0;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void Socket::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Socket::Close() {
    int fd = Release();
    if (fd >= 0) ::close(fd);
}

int ReceiveExact(Socket& s, void* buffer, int count) {
    char* p = static_cast<char*>(buffer);
    int got = 0;
    while (got < count) {
        int n = s.Recv(p + got, static_cast<std::size_t>(count - got));
        if (n <= 0) return n;
        got += n;
    }
    return count;
}

std::optional<std::uint32_t> ResolveIPv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
    std::uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

std::string FormatIPv4(std::uint32_t a) {
    const auto* b = reinterpret_cast<const unsigned char*>(&a);
    char buf[20];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

}  // namespace zq
