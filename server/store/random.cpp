#include "server/store/random.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace zq::server {

void SystemRandomBytes(void* out, std::size_t size) {
    auto* p = static_cast<unsigned char*>(out);
    while (size > 0) {
        ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Without a random source no key can be made safely.
            throw std::runtime_error("no random source");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::uint32_t SystemRandomBelow(std::uint32_t bound) {
    // Rejection sampling keeps every value equally likely.
    const std::uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
    for (;;) {
        std::uint32_t v;
        SystemRandomBytes(&v, sizeof v);
        if (v < limit) return v % bound;
    }
}

}  // namespace zq::server
