#include "server/links/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <future>

#include "net/wire/framing.h"
#include "server/store/log.h"

namespace zq::server {

// ---- NetLoop ----

NetLoop::NetLoop() = default;

void NetLoop::Start() {
    if (!threads_.empty()) return;
    workers_ = std::make_unique<asio::thread_pool>(kWorkerThreads);
    logins_ = std::make_unique<asio::thread_pool>(kLoginThreads);
    pushJoins_.emplace(asio::make_strand(workers_->get_executor()));
    io_.restart();
    guard_.emplace(io_.get_executor());
    for (int i = 0; i < kLoopThreads; ++i) threads_.emplace_back([this] { io_.run(); });
}

void NetLoop::Stop() {
    if (threads_.empty()) return;
    // The work on the pools ends first: its answers go back to the loop.
    workers_->join();
    logins_->join();
    guard_.reset();
    io_.stop();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        LogLine("cannot raise the open file limit: " + std::string(std::strerror(errno)));
}

// ---- Admission ----

Admission::Ticket& Admission::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        Release();
        owner_ = std::exchange(other.owner_, nullptr);
        id_ = other.id_;
        authenticated_ = other.authenticated_;
    }
    return *this;
}

void Admission::Ticket::Authenticated() {
    if (authenticated_ || !owner_) return;
    authenticated_ = true;
    owner_->MarkAuthenticated(id_);
}

void Admission::Ticket::Release() {
    if (Admission* owner = std::exchange(owner_, nullptr)) owner->Leave(id_);
}

std::optional<Admission::Ticket> Admission::Admit(std::uint32_t address,
                                                  std::function<void()> close, std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto refuse = [&](const char* text) -> std::optional<Ticket> {
        if (auto it = peers_.find(address); it != peers_.end() && it->second.count == 0)
            peers_.erase(it);
        if (why) *why = text;
        return std::nullopt;
    };
    if (closed_) return refuse("server stopping");
    Peer& peer = peers_[address];
    const std::size_t share = std::max(floor_, budget_ / peers_.size());
    if (peer.count >= share) return refuse("too many connections from this address");
    if (entries_.size() >= budget_) {
        // Room is made at the cost of the address that holds the most beyond its share, and
        // only by a connection that has not authenticated.
        Peer* victim = nullptr;
        for (auto& [a, p] : peers_)
            if (p.count > share && !p.unauthenticated.empty() &&
                (!victim || p.count > victim->count))
                victim = &p;
        if (!victim) return refuse("too many connections");
        const std::uint64_t id = victim->unauthenticated.front();
        Entry& e = entries_.at(id);
        if (e.close) e.close();
        victim->unauthenticated.pop_front();
        --victim->count;
        entries_.erase(id);
    }
    const std::uint64_t id = next_++;
    Entry& e = entries_[id];
    e.address = address;
    e.close = std::move(close);
    e.pending = peer.unauthenticated.insert(peer.unauthenticated.end(), id);
    ++peer.count;
    Ticket t;
    t.owner_ = this;
    t.id_ = id;
    return t;
}

void Admission::Leave(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;  // closed to make room: already gone
    auto p = peers_.find(it->second.address);
    if (p != peers_.end()) {
        if (!it->second.authenticated) p->second.unauthenticated.erase(it->second.pending);
        if (--p->second.count == 0) peers_.erase(p);
    }
    entries_.erase(it);
    gone_.notify_all();
}

void Admission::MarkAuthenticated(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.authenticated) return;
    if (auto p = peers_.find(it->second.address); p != peers_.end())
        p->second.unauthenticated.erase(it->second.pending);
    it->second.authenticated = true;
}

void Admission::CloseAll(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& [id, e] : entries_)
        if (e.close) e.close();
    gone_.wait_for(lock, wait, [this] { return entries_.empty(); });
}

void Admission::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
}

std::size_t Admission::OpenFrom(std::uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = peers_.find(address);
    return it == peers_.end() ? 0 : it->second.count;
}

std::size_t Admission::OpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

// ---- Listener ----

namespace {

// Accepts until the acceptor closes; a descriptor shortage pauses a moment for connections to
// end.
asio::awaitable<void> AcceptLoop(std::shared_ptr<Tcp::acceptor> acceptor, NetLoop& loop,
                                 Admission& admission, ServeFn serve) {
    for (;;) {
        auto [ec, socket] =
            co_await acceptor->async_accept(asio::make_strand(loop.Io()), kAwaitTuple);
        if (!acceptor->is_open() || ec == asio::error::operation_aborted) co_return;
        if (ec) {
            LogLine("accept: " + ec.message());
            asio::steady_timer pause(acceptor->get_executor(), std::chrono::milliseconds(100));
            co_await pause.async_wait(kAwaitTuple);
            continue;
        }
        asio::error_code ignored;
        socket.set_option(Tcp::no_delay(true), ignored);
        const Tcp::endpoint remote = socket.remote_endpoint(ignored);
        if (ignored) continue;  // gone already
        const std::uint32_t address =
            remote.address().is_v4() ? htonl(remote.address().to_v4().to_uint()) : 0;
        std::string peer = remote.address().to_string() + ":" + std::to_string(remote.port());
        auto shared = std::make_shared<Tcp::socket>(std::move(socket));
        std::weak_ptr<Tcp::socket> weak = shared;
        std::string why;
        std::optional<Admission::Ticket> ticket = admission.Admit(
            address,
            [weak] {
                if (auto s = weak.lock())
                    asio::post(s->get_executor(), [s] {
                        asio::error_code e;
                        s->shutdown(Tcp::socket::shutdown_both, e);
                        s->close(e);
                    });
            },
            &why);
        if (!ticket) {
            LogLine("connection " + peer + ": " + why + ", closed");
            shared->close(ignored);
            continue;
        }
        auto executor = shared->get_executor();
        asio::co_spawn(
            executor,
            serve(Accepted{std::move(shared), address, std::move(peer), std::move(*ticket)}),
            [](std::exception_ptr e) {
                if (!e) return;
                try {
                    std::rethrow_exception(e);
                } catch (const std::exception& x) {
                    LogLine(std::string("connection failed: ") + x.what());
                } catch (...) {
                    LogLine("connection failed");
                }
            });
    }
}

}  // namespace

bool Listener::Fail(const std::string& what, std::string* error) {
    if (error) *error = (name_.empty() ? "" : name_ + " ") + what + ": " + std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
}

bool Listener::Open(Reach reach, std::uint16_t port, std::string* error) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Fail("socket", error);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(reach == Reach::Loopback ? INADDR_LOOPBACK : INADDR_ANY);
    sa.sin_port = htons(port);
    // A long backlog: a burst of connections waits for the loop rather than being refused.
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd_, 4096) < 0)
        return Fail("port " + std::to_string(port), error);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    return true;
}

void Listener::Start(NetLoop& loop, Admission& admission, ServeFn serve) {
    if (fd_ < 0 || acceptor_) return;
    acceptor_ = std::make_shared<Tcp::acceptor>(asio::make_strand(loop.Io()));
    asio::error_code ec;
    acceptor_->assign(Tcp::v4(), fd_, ec);
    if (ec) {
        LogLine((name_.empty() ? "" : name_ + " ") + "port: " + ec.message());
        acceptor_.reset();
        return;
    }
    fd_ = -1;  // the acceptor owns it now
    asio::co_spawn(acceptor_->get_executor(),
                   AcceptLoop(acceptor_, loop, admission, std::move(serve)), asio::detached);
}

void Listener::Stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!acceptor_) return;
    // The acceptor is closed on its own strand; a loop that no longer runs never gets to it,
    // and then the acceptor closes with its last owner.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> closed = done->get_future();
    asio::post(acceptor_->get_executor(), [a = acceptor_, done] {
        asio::error_code ignored;
        a->close(ignored);
        done->set_value();
    });
    if (closed.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        asio::error_code ignored;
        acceptor_->close(ignored);
    }
    acceptor_.reset();
}

}  // namespace zq::server
