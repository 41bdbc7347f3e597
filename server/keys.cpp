#include "server/keys.h"

#include <sodium.h>

#include <cstdio>

#include "server/random.h"

namespace zq::server {

Key RandomKey() {
    Key k;
    do {
        SystemRandomBytes(k.data(), sizeof k);
    } while (IsZeroKey(k));
    return k;
}

std::string KeyTag(const Key& k) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<std::uint32_t>(k[0]));
    return buf;
}

KeyDigest DigestOf(const Key& k) {
    std::uint8_t bytes[16];
    for (std::size_t w = 0; w < 4; ++w) {
        const auto word = static_cast<std::uint32_t>(k[w]);
        for (std::size_t b = 0; b < 4; ++b)
            bytes[w * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    KeyDigest d{};
    crypto_generichash(d.data(), d.size(), bytes, sizeof bytes, nullptr, 0);
    return d;
}

}  // namespace zq::server
