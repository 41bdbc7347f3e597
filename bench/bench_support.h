// Helpers shared by the benchmark programs: a plain finished bar and a scratch directory.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "market/wire/bar_record.h"

namespace zq::bench {

// A finished bar of instrument 1 around `price`, time text from `seq`.
inline BarRecord Bar(int seq, int price) {
    BarRecord r{};
    r.instrument = 1;
    r.open = price;
    r.close = price + (seq % 7) - 3;
    r.high = price + 9;
    r.low = price - 9;
    r.reference = price;
    r.decimals = 2;
    r.keyNumber = 2024;
    std::snprintf(r.time, sizeof r.time, "%08d", seq % 100000000);
    return r;
}

// A directory under the system's temporary directory, removed with everything in it.
struct TempDir {
    explicit TempDir(const std::string& prefix) {
        path = std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path path;
};

}  // namespace zq::bench
