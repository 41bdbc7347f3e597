#include "server/links/keys.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>

#include "server/store/random.h"

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

namespace {

// The key as it travels in a header: four little-endian words.
std::array<std::uint8_t, 16> KeyBytes(const Key& k) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t w = 0; w < 4; ++w) {
        const auto word = static_cast<std::uint32_t>(k[w]);
        for (std::size_t b = 0; b < 4; ++b)
            bytes[w * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return bytes;
}

}  // namespace

KeyDigest DigestOf(const Key& k) {
    const auto bytes = KeyBytes(k);
    KeyDigest d{};
    crypto_generichash(d.data(), d.size(), bytes.data(), bytes.size(), nullptr, 0);
    return d;
}

std::string SessionProofOf(const Key& k) {
    std::array<std::uint8_t, 7 + 16> message{'Z', 'Q', '-', 'W', 'E', 'B', 0};
    const auto bytes = KeyBytes(k);
    std::copy(bytes.begin(), bytes.end(), message.begin() + 7);
    unsigned char hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(hash, message.data(), message.size());
    char hex[2 * sizeof hash + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    return hex;
}

}  // namespace zq::server
