// What the fuzz targets share: the bytes of one input delivered to a reader as a peer would send
// them, on a local stream socket whose far end has sent everything and then stopped.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/config.h"
#include "net/wire/socket.h"

namespace zq::fuzz {

// The inputs are kept well inside a local socket's buffer, so the whole input is written before
// the reader starts and nothing waits.
inline constexpr std::size_t kMaxStreamInput = 96 * 1024;

class FedStream {
  public:
    FedStream(const std::uint8_t* data, std::size_t size) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        reader_ = Socket(fds[0]);
        peer_ = Socket(fds[1]);
        int buffer = 4 * static_cast<int>(kMaxStreamInput);
        ::setsockopt(peer_.Fd(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        ::setsockopt(reader_.Fd(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        if (size > kMaxStreamInput) size = kMaxStreamInput;
        if (size > 0) peer_.Send(data, size);
        ::shutdown(peer_.Fd(), SHUT_WR);  // the reader sees the end after the input
    }
    bool Valid() const { return reader_.Valid(); }
    Socket& Reader() { return reader_; }
    Socket TakeReader() { return std::move(reader_); }
    // The far end, which receives what the reader sends.
    Socket& Peer() { return peer_; }

  private:
    Socket reader_;
    Socket peer_;  // open for reading, so the reader's own sends (request headers) go through
};

// Points the request port where nothing listens: a reload that a reader starts (the quote
// update's) fails at once instead of reaching a server that may run on this machine.
inline void NoRequestServer() {
    ::setenv("ZQ_REQUEST_PORT", "1", 1);
    ReloadConfig();
}

// A directory of this process's own under the temporary directory.
inline const std::string& ScratchDirectory(const char* name) {
    static const std::string dir = [name] {
        std::filesystem::path p =
            std::filesystem::temp_directory_path() /
            (std::string("zq-fuzz-") + name + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        return p.string();
    }();
    return dir;
}

}  // namespace zq::fuzz
