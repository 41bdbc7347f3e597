// The server's two sources of randomness. Keys and verification codes come from the operating
// system and can never be predicted; the simulation draws from one generator seeded by --seed,
// so that a run can be repeated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>

namespace zq::server {

// Fills `size` bytes from the operating system's random source.
void SystemRandomBytes(void* out, std::size_t size);

// A uniform number in [0, bound) from the operating system's random source (bound > 0).
std::uint32_t SystemRandomBelow(std::uint32_t bound);

// The seeded generator shared by the simulation; safe to use from several threads.
class SeededRandom {
  public:
    explicit SeededRandom(std::uint64_t seed) : engine_(seed) {}

    std::uint64_t Next() {
        std::lock_guard<std::mutex> lock(mutex_);
        return engine_();
    }
    // Uniform in [lo, hi].
    std::int64_t Between(std::int64_t lo, std::int64_t hi) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(engine_);
    }
    // Uniform in [0, 1).
    double Unit() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::uniform_real_distribution<double>(0.0, 1.0)(engine_);
    }

  private:
    std::mutex mutex_;
    std::mt19937_64 engine_;
};

}  // namespace zq::server
