// A history transfer's answer as the data link delivers it: the length, the zip archive of bar
// records and the trailer; then the merge with the cache and the cache file written.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "market/history_cache.h"
#include "net/history_link.h"

namespace {

// A loopback data port that answers every transfer with the input of the moment.
class DataPort {
  public:
    DataPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd_, 4);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        std::thread([this] { Serve(); }).detach();
    }
    std::uint16_t Port() const { return port_; }
    void SetAnswer(const std::uint8_t* data, std::size_t size) {
        std::lock_guard lock(mutex_);
        answer_.assign(data, data + size);
    }

  private:
    void Serve() {
        for (;;) {
            zq::Socket peer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer.Valid()) continue;
            char request[24 + 26];
            if (zq::ReceiveExact(peer, request, sizeof request) != static_cast<int>(sizeof request))
                continue;
            std::vector<std::uint8_t> answer;
            {
                std::lock_guard lock(mutex_);
                answer = answer_;
            }
            if (!answer.empty()) peer.Send(answer.data(), answer.size());
            peer.ShutdownClose();
        }
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::uint8_t> answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static DataPort* port = new DataPort;  // serves for the life of the process
    port->SetAnswer(data, size);
    auto chart = std::make_shared<zq::KLineData>();
    chart->Reset(1, 15);
    chart->SetClientSize(800, 500);
    zq::HistoryLink::Options options;
    options.chart = chart;
    auto link = std::make_shared<zq::HistoryLink>(options);
    const std::string& dir = zq::fuzz::ScratchDirectory("history");
    link->Run(zq::NoBarKey(), zq::NoBarKey(), {htonl(INADDR_LOOPBACK), port->Port(), dir});
    zq::DeleteHistoryCache(dir, 1, 15);
    return 0;
}
