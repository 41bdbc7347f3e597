// Request connections on the request port: open, send a header and payload, read a fixed
// answer or a counted list, shut down and close. Every user operation opens its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "base/ui_bridge.h"
#include "net/wire/framing.h"
#include "net/wire/socket.h"

namespace zq {

inline constexpr const char* kConnectFailedText = "无法连接服务器，操作已取消";

// Connects to the server's request port without a word to the user; invalid on failure.
Socket ConnectRequestPort();

// Connects to the request port. On failure shows "无法连接服务器，操作已取消" owned by
// `owner` and returns an invalid socket.
Socket OpenRequestConnection(WindowHandle owner);

// Sends the header, then (when `payload` is given) the payload in a second send. False when
// either send returns 0 or less; a failed header send sends no payload.
bool SendRequest(Socket& s, const RequestHeader& header, const void* payload = nullptr,
                 std::size_t payloadSize = 0);

// Reads a one-byte answer: 0 when the read fails.
std::uint8_t ReadByteAnswer(Socket& s);

// Reads a little-endian int32 answer. When the connection fails before all four bytes
// arrive, the bytes that did arrive count and the missing ones are 0.
std::int32_t ReadInt32Answer(Socket& s);

inline constexpr const char* kOrderSubmitFailedText = "订单提交失败，操作已取消";

// One request with a one-int32 answer, as the trade dialogs send them: opens a connection
// (on failure "无法连接服务器，操作已取消"), sends the header and payload (on failure
// `sendFailedText`, then the connection is closed), reads the answer with ReadInt32Answer, and
// shuts the connection down. Nothing when no answer was asked for; every failure has shown its
// message, owned by `owner`, by then.
std::optional<std::int32_t> RequestInt32Answer(WindowHandle owner, std::int32_t command,
                                               const void* payload, std::size_t payloadSize,
                                               const char* sendFailedText = kOrderSubmitFailedText);

// The most records any counted list may announce.
inline constexpr int kMaxListCount = 100000;

struct ListResult {
    bool complete = false;  // the count and every announced record arrived
    bool refused = false;   // the count was above kMaxListCount: nothing read, connection shut
    int announced = 0;      // the count as the server sent it (below 1 means empty)
};

// Reads an int32 count N and then N records of `recordSize` bytes, each in full, appending the
// whole ones to `out`. A count below 1 is an empty, complete list. A failure keeps the records
// read before it. A count above kMaxListCount reads no record and shuts the connection down,
// so that no later answer on it is read out of step.
ListResult ReadCountedList(Socket& s, std::size_t recordSize, std::vector<unsigned char>& out);

template <typename Record>
ListResult ReadCountedList(Socket& s, std::vector<Record>& out) {
    std::vector<unsigned char> bytes;
    ListResult r = ReadCountedList(s, sizeof(Record), bytes);
    std::size_t n = bytes.size() / sizeof(Record);
    std::size_t base = out.size();
    out.resize(base + n);
    if (n) std::memcpy(out.data() + base, bytes.data(), n * sizeof(Record));
    return r;
}

}  // namespace zq
