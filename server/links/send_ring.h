// Sends on many sockets with one system call (the kernel's io_uring), each send without waiting:
// what a socket does not take at once stays with the caller, as with send(MSG_DONTWAIT). A step
// of the market reaches 10,000 links with a few hundred system calls instead of 10,000; where the
// kernel refuses io_uring, every send is a plain one.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace zq::server {

class SendRing {
  public:
    // The sends that go out in one system call: past a few dozen a call saves nothing more.
    static constexpr unsigned kEntries = 32;

    SendRing();
    ~SendRing();
    SendRing(const SendRing&) = delete;
    SendRing& operator=(const SendRing&) = delete;

    // Prepares a send of `size` bytes at `data` (kept by the caller until Submit returns) on
    // `socket`; its index among the results.
    std::size_t Add(int socket, const void* data, std::size_t size);
    std::size_t Size() const { return sends_.size(); }
    // Sends what was added, in that order, and returns each send's result: the bytes the socket
    // took, or -errno; -ECANCELED when the kernel did not tell (the socket may have taken the
    // bytes or not). Empty afterwards.
    const std::vector<long>& Submit();

  private:
    struct Send {
        int socket;
        const void* data;
        std::size_t size;
    };
    struct Ring;
    void SendPlainly(std::size_t from);

    std::unique_ptr<Ring> ring_;  // null: plain sends
    std::vector<Send> sends_;
    std::vector<long> results_;
};

}  // namespace zq::server
