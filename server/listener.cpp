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

bool Listener::Open(std::uint16_t port, std::string* error) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd_, 128) < 0) {
        if (error) *error = "port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) < 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

void Listener::Start(AcceptFn onAccept) {
    onAccept_ = std::move(onAccept);
    thread_ = std::thread([this] { Run(); });
}

void Listener::Run() {
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
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
            onAccept_(Socket(fd), std::move(text));
        } catch (...) {
            // The callback owns the socket; whatever failed, the accept loop goes on.
        }
    }
}

void Listener::Stop() {
    if (wake_[1] >= 0) {
        char b = 1;
        ssize_t ignored = ::write(wake_[1], &b, 1);
        (void)ignored;
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

}  // namespace zq::server
