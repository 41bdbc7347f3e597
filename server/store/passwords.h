// Password hashes. New hashes are Argon2id strings made by libsodium's crypto_pwhash_str (they
// carry their own salt and cost: "$argon2id$v=19$m=19456,t=2,p=1$..."). Hashes of earlier
// servers, PBKDF2-HMAC-SHA-256 with a salt and round count of their own, are still verified, so
// that an existing store keeps working; the store replaces each with an Argon2id hash at the
// member's next successful login.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zq::server {

// The cost of a new hash: 2 passes over 19 MiB.
constexpr unsigned long long kPasswordOps = 2;
constexpr std::size_t kPasswordMemoryBytes = 19456u * 1024u;
// At most this many hashes are computed at once, so a burst of logins cannot take more than
// kPasswordMemoryBytes times this much memory; the others wait their turn.
constexpr int kConcurrentHashes = 4;

// A new Argon2id hash of `password` with a fresh random salt; nothing when the library fails
// (out of memory).
std::optional<std::string> HashPassword(std::string_view password);

// Whether `stored` is a hash that HashPassword makes (as opposed to an earlier server's).
bool IsCurrentHash(std::string_view stored);

enum class PasswordCheck {
    Wrong,
    Right,
    RightButRehash,  // right, and the stored hash should be replaced by a HashPassword one
};

// Checks `password` against an Argon2id string.
PasswordCheck CheckPasswordHash(std::string_view password, std::string_view stored);

// Checks `password` against an earlier server's hash: PBKDF2-HMAC-SHA-256 of `rounds` rounds
// over `salt`, as long as `hash`. Right is always RightButRehash.
PasswordCheck CheckLegacyPasswordHash(std::string_view password,
                                      const std::vector<std::uint8_t>& salt, unsigned rounds,
                                      const std::vector<std::uint8_t>& hash);

// PBKDF2 with HMAC-SHA-256 (libsodium's) as its pseudo-random function; `size` bytes of derived
// key. Only earlier servers' hashes need it.
std::vector<std::uint8_t> LegacyPbkdf2Sha256(std::string_view password, const void* salt,
                                             std::size_t saltSize, unsigned rounds,
                                             std::size_t size);

// Spends the time and memory of one check, for a name that has no member, so that the answer's
// time does not tell which names exist.
void CheckNoPassword(std::string_view password);

}  // namespace zq::server
