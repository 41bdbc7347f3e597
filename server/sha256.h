// SHA-256, HMAC-SHA-256 and PBKDF2-HMAC-SHA-256: what the store needs to keep passwords salted
// and hashed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq::server {

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
  public:
    Sha256() { Reset(); }
    void Reset();
    void Update(const void* data, std::size_t size);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    Digest Finish();

  private:
    void Block(const std::uint8_t* block);

    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

Digest Sha256Of(const void* data, std::size_t size);
Digest HmacSha256(const void* key, std::size_t keySize, const void* data, std::size_t size);

// PBKDF2 with HMAC-SHA-256 as its pseudo-random function; `outSize` bytes of derived key.
std::vector<std::uint8_t> Pbkdf2Sha256(std::string_view password, const void* salt,
                                       std::size_t saltSize, unsigned iterations,
                                       std::size_t outSize);

// Lower-case hex of a byte buffer.
std::string ToHex(const void* data, std::size_t size);

}  // namespace zq::server
