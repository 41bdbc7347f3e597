#include "server/sha256.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zq::server {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

}  // namespace

void Sha256::Reset() {
    static constexpr std::uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state_, kInit, sizeof state_);
    buffered_ = 0;
    totalBytes_ = 0;
}

void Sha256::Block(const std::uint8_t* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t{p[4 * i]} << 24) | (std::uint32_t{p[4 * i + 1]} << 16) |
               (std::uint32_t{p[4 * i + 2]} << 8) | std::uint32_t{p[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        std::uint32_t ch = (e & f) ^ (~e & g);
        std::uint32_t t1 = h + s1 + ch + kRound[i] + w[i];
        std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha256::Update(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    totalBytes_ += size;
    while (size > 0) {
        std::size_t take = std::min(size, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        size -= take;
        if (buffered_ == sizeof buffer_) {
            Block(buffer_);
            buffered_ = 0;
        }
    }
}

Digest Sha256::Finish() {
    std::uint64_t bits = totalBytes_ * 8;
    std::uint8_t pad[72] = {0x80};
    std::size_t padLen = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Update(pad, padLen);
    Update(length, 8);
    Digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    Reset();
    return out;
}

Digest Sha256Of(const void* data, std::size_t size) {
    Sha256 h;
    h.Update(data, size);
    return h.Finish();
}

namespace {

// HMAC with the inner and outer pads prepared once, for the many rounds of PBKDF2.
class Hmac {
  public:
    Hmac(const void* key, std::size_t keySize) {
        std::uint8_t block[64] = {};
        if (keySize > sizeof block) {
            Digest d = Sha256Of(key, keySize);
            std::memcpy(block, d.data(), d.size());
        } else if (keySize > 0) {
            std::memcpy(block, key, keySize);
        }
        std::uint8_t ipad[64], opad[64];
        for (int i = 0; i < 64; ++i) {
            ipad[i] = block[i] ^ 0x36;
            opad[i] = block[i] ^ 0x5c;
        }
        inner_.Update(ipad, sizeof ipad);
        outer_.Update(opad, sizeof opad);
    }
    Digest Of(const void* data, std::size_t size) const {
        Sha256 in = inner_;
        in.Update(data, size);
        Digest d = in.Finish();
        Sha256 out = outer_;
        out.Update(d.data(), d.size());
        return out.Finish();
    }

  private:
    Sha256 inner_, outer_;
};

}  // namespace

Digest HmacSha256(const void* key, std::size_t keySize, const void* data, std::size_t size) {
    return Hmac(key, keySize).Of(data, size);
}

std::vector<std::uint8_t> Pbkdf2Sha256(std::string_view password, const void* salt,
                                       std::size_t saltSize, unsigned iterations,
                                       std::size_t outSize) {
    Hmac prf(password.data(), password.size());
    std::vector<std::uint8_t> out;
    out.reserve(outSize);
    std::vector<std::uint8_t> first(saltSize + 4);
    if (saltSize) std::memcpy(first.data(), salt, saltSize);
    for (std::uint32_t block = 1; out.size() < outSize; ++block) {
        first[saltSize] = static_cast<std::uint8_t>(block >> 24);
        first[saltSize + 1] = static_cast<std::uint8_t>(block >> 16);
        first[saltSize + 2] = static_cast<std::uint8_t>(block >> 8);
        first[saltSize + 3] = static_cast<std::uint8_t>(block);
        Digest u = prf.Of(first.data(), first.size());
        Digest t = u;
        for (unsigned i = 1; i < iterations; ++i) {
            u = prf.Of(u.data(), u.size());
            for (std::size_t j = 0; j < t.size(); ++j) t[j] ^= u[j];
        }
        std::size_t take = std::min(t.size(), outSize - out.size());
        out.insert(out.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return out;
}

std::string ToHex(const void* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::string s;
    s.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        s.push_back(kDigits[p[i] >> 4]);
        s.push_back(kDigits[p[i] & 15]);
    }
    return s;
}

}  // namespace zq::server
