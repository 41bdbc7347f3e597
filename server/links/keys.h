// The 16-byte keys the server hands out with each verification image: a key names a pending
// login until it is used, and the session that login opens afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/wire/framing.h"

namespace zq::server {

using Key = std::array<std::int32_t, 4>;

struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        for (std::int32_t w : k) {
            h ^= static_cast<std::uint32_t>(w);
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        return static_cast<std::size_t>(h);
    }
};

inline Key KeyOf(const RequestHeader& h) {
    return {h.key[0], h.key[1], h.key[2], h.key[3]};
}
inline bool IsZeroKey(const Key& k) {
    return (k[0] | k[1] | k[2] | k[3]) == 0;
}

// A fresh key from the operating system's random source; never all zero.
Key RandomKey();

// The first eight hex digits, enough to follow one key through the log.
std::string KeyTag(const Key& k);

// A key as the store keeps it: BLAKE2b-256 of its 16 bytes as they travel (four little-endian
// words). The key is 128 random bits, so its digest cannot be turned back into it: reading the
// store does not give anyone a session.
using KeyDigest = std::array<std::uint8_t, 32>;
KeyDigest DigestOf(const Key& k);

// What the client sends in the header kSessionProofHeader of a web page request for the
// member's own pages: SHA-256 of "ZQ-WEB", a zero byte and the key's 16 bytes (as they travel),
// in lower-case hex. It proves the session without giving the key away.
inline constexpr const char* kSessionProofHeader = "X-ZQ-Session";
std::string SessionProofOf(const Key& k);

struct KeyDigestHash {
    std::size_t operator()(const KeyDigest& d) const noexcept {
        std::size_t h = 0;
        for (std::size_t i = 0; i < sizeof h; ++i) h = (h << 8) | d[i];
        return h;
    }
};

}  // namespace zq::server
