// The server's log: one line per connection on stderr, written whole so that lines of
// different threads never interleave.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zq::server {

// `text` with control characters replaced by '?', at most `maxBytes` long: safe to log text
// that came from a peer.
std::string Printable(std::string_view text, std::size_t maxBytes = 64);

// Writes "HH:MM:SS.mmm <line>\n" to stderr in one write.
void LogLine(std::string_view line);

// Collects what happened on one connection and logs it as one line when destroyed:
// "<link> <peer>: <item>; <item>; ... | <outcome>".
class ConnectionLog {
  public:
    ConnectionLog(std::string link, std::string peer)
        : link_(std::move(link)), peer_(std::move(peer)) {}
    ~ConnectionLog();
    ConnectionLog(const ConnectionLog&) = delete;
    ConnectionLog& operator=(const ConnectionLog&) = delete;

    // One request and how it went ("6 login demo -> 1").
    void Add(std::string item);
    // How the connection ended ("closed by peer", "short header (3 bytes)").
    void SetOutcome(std::string outcome) { outcome_ = std::move(outcome); }

  private:
    static constexpr std::size_t kMaxItems = 24;
    std::string link_, peer_, outcome_;
    std::vector<std::string> items_;
    std::size_t dropped_ = 0;
};

}  // namespace zq::server
