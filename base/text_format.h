// printf into a std::string, for the program's message and caption formats.
#pragma once

#include <cstdio>
#include <string>

namespace zq {

template <typename... Args>
std::string FormatText(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace zq
