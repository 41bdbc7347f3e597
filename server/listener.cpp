#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/log.h"

namespace zq::server {

// ---- ConnectionSet ----

void ConnectionSet::Launch(Socket socket, std::uint32_t address, std::string peer,
                           const ServeFn& serve) {
    // The tracked descriptor stays open until the thread is done with its own copy, so
    // CloseAll() never shuts down a descriptor number that was already reused.
    const int tracked = ::dup(socket.Fd());
    if (tracked < 0) {
        LogLine("connection " + peer + ": " + std::strerror(errno) + ", closed");
        return;
    }
    std::uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A flood from one address takes at most its share, so the others still get in.
        const bool full = open_.size() >= limit_;
        const bool addressFull = !full && OpenFromLocked(address) >= perAddress_;
        if (closed_ || full || addressFull) {
            ::close(tracked);
            LogLine("connection " + peer +
                    (addressFull ? ": too many connections from this address, closed"
                                 : ": too many connections, closed"));
            return;
        }
        id = next_++;
        open_.emplace(id, tracked);
        ++perPeer_[address];
    }
    auto finish = [this, id, tracked, address] {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(id);
        if (auto it = perPeer_.find(address); it != perPeer_.end() && --it->second == 0)
            perPeer_.erase(it);
        ::close(tracked);
        done_.notify_all();
    };
    try {
        std::thread([s = std::move(socket), p = std::move(peer), serve, finish]() mutable {
            // `serve` takes the socket by value: it is closed before the tracked copy is.
            serve(std::move(s), p);
            finish();
        }).detach();
    } catch (...) {
        // No thread: the socket was not moved into one and closes here.
        LogLine("connection: cannot start a thread, closed");
        finish();
    }
}

std::size_t ConnectionSet::OpenFromLocked(std::uint32_t address) const {
    auto it = perPeer_.find(address);
    return it == perPeer_.end() ? 0 : it->second;
}

std::size_t ConnectionSet::OpenFrom(std::uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return OpenFromLocked(address);
}

void ConnectionSet::CloseAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    for (const auto& [id, fd] : open_) ::shutdown(fd, SHUT_RDWR);
    done_.wait(lock, [this] { return open_.empty(); });
}

void ConnectionSet::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
}

// ---- Listener ----

bool Listener::Fail(const std::string& what, std::string* error) {
    if (error) *error = (name_.empty() ? "" : name_ + " ") + what + ": " + std::strerror(errno);
    fd_.Close();
    return false;
}

bool Listener::Open(Reach reach, std::uint16_t port, std::string* error) {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.Valid()) return Fail("socket", error);
    int one = 1;
    setsockopt(fd_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(reach == Reach::Loopback ? INADDR_LOOPBACK : INADDR_ANY);
    sa.sin_port = htons(port);
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
        ::listen(fd_.Get(), 128) < 0)
        return Fail("port " + std::to_string(port), error);
    socklen_t len = sizeof sa;
    getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) < 0) return Fail("pipe", error);
    wakeRead_ = UniqueFd(wake[0]);
    wakeWrite_ = UniqueFd(wake[1]);
    return true;
}

void Listener::Start(ConnectionSet& connections, ServeFn serve) {
    if (!fd_.Valid() || thread_.joinable()) return;
    serve_ = std::move(serve);
    thread_ = std::thread([this, &connections] { Run(connections); });
}

void Listener::Run(ConnectionSet& connections) {
    for (;;) {
        pollfd p[2] = {{fd_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: give the running connections a moment to end.
                LogLine("accept: " + std::string(std::strerror(errno)));
                poll(&p[1], 1, 100);
            }
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string text =
            FormatIPv4(peer.sin_addr.s_addr) + ":" + std::to_string(ntohs(peer.sin_port));
        try {
            connections.Launch(Socket(fd), peer.sin_addr.s_addr, std::move(text), serve_);
        } catch (...) {
            // The set owns the socket; whatever failed, the accept loop goes on.
        }
    }
}

void Listener::Stop() {
    if (wakeWrite_.Valid()) {
        char b = 1;
        ssize_t ignored = ::write(wakeWrite_.Get(), &b, 1);
        (void)ignored;
    }
    if (thread_.joinable()) thread_.join();
    fd_.Close();
    wakeRead_.Close();
    wakeWrite_.Close();
}

}  // namespace zq::server
