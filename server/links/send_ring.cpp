#include "server/links/send_ring.h"

#include <liburing.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace zq::server {
namespace {

// A result not yet known.
constexpr long kUnknown = std::numeric_limits<long>::min();

}  // namespace

struct SendRing::Ring {
    io_uring ring{};
};

SendRing::SendRing() {
    auto ring = std::make_unique<Ring>();
    if (io_uring_queue_init(kEntries, &ring->ring, 0) == 0) ring_ = std::move(ring);
    sends_.reserve(kEntries);
}

SendRing::~SendRing() {
    if (ring_) io_uring_queue_exit(&ring_->ring);
}

std::size_t SendRing::Add(int socket, const void* data, std::size_t size) {
    sends_.push_back({socket, data, size});
    return sends_.size() - 1;
}

void SendRing::SendPlainly(std::size_t from) {
    for (std::size_t i = from; i < sends_.size(); ++i) {
        const Send& s = sends_[i];
        const ssize_t n = ::send(s.socket, s.data, s.size, MSG_DONTWAIT | MSG_NOSIGNAL);
        results_[i] = n >= 0 ? static_cast<long>(n) : -errno;
    }
}

const std::vector<long>& SendRing::Submit() {
    results_.assign(sends_.size(), kUnknown);
    std::size_t done = 0;
    while (ring_ && done < sends_.size()) {
        io_uring& ring = ring_->ring;
        const std::size_t batch = std::min<std::size_t>(sends_.size() - done, kEntries);
        for (std::size_t i = done; i < done + batch; ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            // MSG_DONTWAIT: a full socket answers -EAGAIN at once rather than a send that waits.
            io_uring_prep_send(sqe, sends_[i].socket, sends_[i].data, sends_[i].size,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            io_uring_sqe_set_data64(sqe, i);
        }
        int submitted = io_uring_submit_and_wait(&ring, static_cast<unsigned>(batch));
        while (submitted == -EINTR) submitted = io_uring_submit_and_wait(&ring, 0);
        // A kernel that takes no more: what it did not take, and every later send, goes plainly.
        auto giveUp = [&] {
            io_uring_queue_exit(&ring);
            ring_.reset();
        };
        if (submitted < 0) {
            giveUp();
            break;
        }
        // The ring hands its sends to the kernel in order: the first `taken` went out, the
        // others never left it.
        const auto taken = static_cast<std::size_t>(submitted);
        std::size_t seen = 0;
        while (seen < taken) {
            io_uring_cqe* cqe = nullptr;
            const int waited = io_uring_wait_cqe(&ring, &cqe);
            if (waited == -EINTR) continue;
            if (waited < 0) break;
            results_[io_uring_cqe_get_data64(cqe)] = cqe->res;
            io_uring_cqe_seen(&ring, cqe);
            ++seen;
        }
        if (seen < taken) {
            // Sends whose fate is unknown (which a send that never waits cannot leave): their
            // sockets may have taken them or not.
            for (std::size_t i = done; i < done + taken; ++i)
                if (results_[i] == kUnknown) results_[i] = -ECANCELED;
        }
        done += taken;
        if (seen < taken || taken < batch) {
            giveUp();
            break;
        }
    }
    SendPlainly(done);
    sends_.clear();
    return results_;
}

}  // namespace zq::server
