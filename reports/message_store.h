// The frame's messages: server messages loaded at start-up, instant messages, signal
// announcements and fired alerts, each with its time stamp. Posts may come from the push-link
// thread; readers take a copy.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/wire/socket.h"

namespace zq {

struct MessageRecord {
    std::string time;     // "%04d-%02d-%02d %02d:%02d:%02d"
    std::string content;  // UTF-8
};

// The longest message text taken from the server; a longer one ends the read.
inline constexpr std::int32_t kMaxMessageBytes = 64 * 1024;
// The most messages one load takes; an answer with more fails the load after these.
inline constexpr std::size_t kMaxLoadedMessages = 10000;
// The most the store keeps, loaded and posted together: as many messages as one load takes, and
// 32 MiB of text. A post beyond either drops the oldest messages first (a tenth of the bound at
// a time), so a flood of instant messages cannot fill memory.
inline constexpr std::size_t kMaxStoredMessages = kMaxLoadedMessages;
inline constexpr std::size_t kMaxStoredMessageBytes = 32u << 20;

// Time stamp of a UTC moment in China Standard Time (UTC+8), the market's clock. Every message
// is stamped in it, whatever the machine's zone, so that the rows read in order: server
// messages, instant messages and the alerts and announcements stamped as they are posted.
std::string ChinaTimeStamp(std::time_t utcSeconds);

class MessageStore {
  public:
    // Called after a post or a non-empty load, on the caller's thread, with no lock held:
    // starts the blink and plays the sound (looped for 2 s).
    using NewMessageHook = std::function<void(int soundId)>;
    void SetNewMessageHook(NewMessageHook hook) { hook_ = std::move(hook); }

    // `cmd::LoadMessages` on an open connection: clears the store, then holds the items newest
    // first. False when the answer broke off, ran past its deadline or brought more than
    // kMaxLoadedMessages items or kMaxStoredMessageBytes of text (what was read stays; no
    // blink, no sound).
    bool Load(Socket& s);

    // Appends a message stamped with `time` (seconds since 1970), or with the current time when
    // it is 0 or less.
    void Post(const std::string& text, std::int64_t time, int soundId);

    std::vector<MessageRecord> Copy() const;
    std::size_t Size() const;
    // For a list of many messages, the same with each text cut to at most `contentBytes`
    // bytes (whole characters), so that a full store is not copied whole; `firstSerial` is the
    // serial of the first message copied, the next one's is one more. A message keeps its
    // serial while the store holds it.
    std::vector<MessageRecord> CopyHeads(std::size_t contentBytes,
                                         std::uint64_t& firstSerial) const;
    // The whole text of the message with this serial; nothing once the store has dropped it.
    std::optional<std::string> Content(std::uint64_t serial) const;

    // The clock for stamps of time 0 (tests fix it).
    std::function<std::time_t()> now = [] { return std::time(nullptr); };

  private:
    // Drops the oldest messages while the store is beyond a bound; the lock is held.
    void TrimLocked();

    mutable std::mutex mutex_;
    std::vector<MessageRecord> items_;
    std::size_t bytes_ = 0;          // the text of the items, time stamps included
    std::uint64_t firstSerial_ = 0;  // the serial of items_.front()
    NewMessageHook hook_;
};

// Reads the fields of one message item after its "more" field: time, length, text, through
// `read(buffer, count)`, which answers how many bytes it read. False when the item does not
// arrive whole or its length is beyond kMaxMessageBytes.
using ItemReader = std::function<int(void* buffer, int count)>;
bool ReadMessageItem(const ItemReader& read, std::int32_t& time, std::string& textUtf8);
// The same from a connection.
bool ReadMessageItem(Socket& s, std::int32_t& time, std::string& textUtf8);

}  // namespace zq
