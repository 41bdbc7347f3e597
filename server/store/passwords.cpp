#include "server/store/passwords.h"

#include <sodium.h>

#include <cstring>
#include <mutex>
#include <semaphore>
#include <stdexcept>

namespace zq::server {
namespace {

constexpr std::string_view kArgon2idPrefix = "$argon2id$";

void InitSodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    });
}

// Holds one of the kConcurrentHashes places while a hash is computed.
class HashTurn {
  public:
    HashTurn() { Places().acquire(); }
    ~HashTurn() { Places().release(); }
    HashTurn(const HashTurn&) = delete;
    HashTurn& operator=(const HashTurn&) = delete;

  private:
    static std::counting_semaphore<kConcurrentHashes>& Places() {
        static std::counting_semaphore<kConcurrentHashes> places(kConcurrentHashes);
        return places;
    }
};

// A hash of no one's password, made once, for CheckNoPassword.
const std::string& DummyHash() {
    static const std::string dummy = [] {
        std::optional<std::string> h = HashPassword("no member has this password");
        return h ? *h : std::string();
    }();
    return dummy;
}

}  // namespace

std::optional<std::string> HashPassword(std::string_view password) {
    InitSodium();
    char out[crypto_pwhash_STRBYTES];
    HashTurn turn;
    if (crypto_pwhash_str(out, password.data(), password.size(), kPasswordOps,
                          kPasswordMemoryBytes) != 0)
        return std::nullopt;
    return std::string(out);
}

bool IsCurrentHash(std::string_view stored) {
    return stored.substr(0, kArgon2idPrefix.size()) == kArgon2idPrefix;
}

PasswordCheck CheckPasswordHash(std::string_view password, std::string_view stored) {
    InitSodium();
    // The library wants a NUL-terminated string of at most crypto_pwhash_STRBYTES.
    if (!IsCurrentHash(stored) || stored.size() >= crypto_pwhash_STRBYTES ||
        stored.find('\0') != std::string_view::npos)
        return PasswordCheck::Wrong;
    const std::string text(stored);
    {
        HashTurn turn;
        if (crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) != 0)
            return PasswordCheck::Wrong;
    }
    return crypto_pwhash_str_needs_rehash(text.c_str(), kPasswordOps, kPasswordMemoryBytes) == 0
               ? PasswordCheck::Right
               : PasswordCheck::RightButRehash;
}

std::vector<std::uint8_t> LegacyPbkdf2Sha256(std::string_view password, const void* salt,
                                             std::size_t saltSize, unsigned rounds,
                                             std::size_t size) {
    InitSodium();
    const auto* key = reinterpret_cast<const unsigned char*>(password.data());
    std::vector<std::uint8_t> out(size);
    unsigned char u[crypto_auth_hmacsha256_BYTES], t[crypto_auth_hmacsha256_BYTES];
    for (std::uint32_t block = 1; (block - 1) * sizeof t < size; ++block) {
        const unsigned char index[4] = {
            static_cast<unsigned char>(block >> 24), static_cast<unsigned char>(block >> 16),
            static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
        crypto_auth_hmacsha256_state st;
        crypto_auth_hmacsha256_init(&st, key, password.size());
        crypto_auth_hmacsha256_update(&st, static_cast<const unsigned char*>(salt), saltSize);
        crypto_auth_hmacsha256_update(&st, index, sizeof index);
        crypto_auth_hmacsha256_final(&st, u);
        std::memcpy(t, u, sizeof t);
        for (unsigned r = 1; r < rounds; ++r) {
            crypto_auth_hmacsha256_init(&st, key, password.size());
            crypto_auth_hmacsha256_update(&st, u, sizeof u);
            crypto_auth_hmacsha256_final(&st, u);
            for (std::size_t i = 0; i < sizeof t; ++i) t[i] ^= u[i];
        }
        const std::size_t at = (block - 1) * sizeof t;
        std::memcpy(out.data() + at, t, std::min(sizeof t, size - at));
    }
    sodium_memzero(u, sizeof u);
    sodium_memzero(t, sizeof t);
    return out;
}

PasswordCheck CheckLegacyPasswordHash(std::string_view password,
                                      const std::vector<std::uint8_t>& salt, unsigned rounds,
                                      const std::vector<std::uint8_t>& hash) {
    if (hash.empty() || rounds == 0) return PasswordCheck::Wrong;
    std::vector<std::uint8_t> derived;
    {
        HashTurn turn;
        derived = LegacyPbkdf2Sha256(password, salt.data(), salt.size(), rounds, hash.size());
    }
    return sodium_memcmp(derived.data(), hash.data(), hash.size()) == 0
               ? PasswordCheck::RightButRehash
               : PasswordCheck::Wrong;
}

void CheckNoPassword(std::string_view password) {
    const std::string& dummy = DummyHash();
    if (!dummy.empty()) CheckPasswordHash(password, dummy);
}

}  // namespace zq::server
