#include "server/store/log.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace zq::server {

void LogLine(std::string_view line) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  ms);
    std::string out = stamp;
    out.append(line);
    out.push_back('\n');
    // One write per line: the kernel keeps it whole against other threads' lines.
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string Printable(std::string_view text, std::size_t maxBytes) {
    std::string out;
    for (char c : text.substr(0, maxBytes)) {
        auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
    }
    if (text.size() > maxBytes) out += "...";
    return out;
}

void ConnectionLog::Add(std::string item) {
    if (items_.size() < kMaxItems)
        items_.push_back(std::move(item));
    else
        ++dropped_;
}

ConnectionLog::~ConnectionLog() {
    try {
        std::string line = link_ + " " + peer_ + ":";
        for (std::size_t i = 0; i < items_.size(); ++i) line += (i ? "; " : " ") + items_[i];
        if (dropped_) line += "; ... " + std::to_string(dropped_) + " more";
        if (items_.empty()) line += " no request";
        line += " | " + (outcome_.empty() ? std::string("closed") : outcome_);
        LogLine(line);
    } catch (...) {
    }
}

}  // namespace zq::server
