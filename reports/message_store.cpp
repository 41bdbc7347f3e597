#include "reports/message_store.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "base/market_clock.h"
#include "base/ui_bridge.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"

namespace zq {
namespace {
std::string Format(const std::tm& t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}
}  // namespace

std::string ChinaTimeStamp(std::time_t utcSeconds) {
    return Format(MarketTime(utcSeconds));
}

bool ReadMessageItem(const ItemReader& read, std::int32_t& time, std::string& textUtf8) {
    std::int32_t length = 0;
    if (read(&time, 4) != 4) return false;
    if (read(&length, 4) != 4) return false;
    textUtf8.clear();
    if (length <= 0) return true;
    if (length > kMaxMessageBytes) return false;
    std::string raw(static_cast<std::size_t>(length), '\0');
    if (read(raw.data(), length) != length) return false;
    textUtf8 = FromAnsi(FieldText(raw.data(), raw.size()));
    return true;
}

bool ReadMessageItem(Socket& s, std::int32_t& time, std::string& textUtf8) {
    return ReadMessageItem([&s](void* buffer, int count) { return ReceiveExact(s, buffer, count); },
                           time, textUtf8);
}

bool MessageStore::Load(Socket& s) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firstSerial_ += items_.size();
        items_.clear();
        bytes_ = 0;
    }
    // Read in the server's order and put in front of the store, newest first, once: whatever
    // way the answer ends, the store holds what was read (C, B, A for A, B, C sent).
    std::vector<MessageRecord> loaded;
    std::size_t loadedBytes = 0;
    auto keep = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const MessageRecord& m : loaded) bytes_ += m.time.size() + m.content.size();
        // What was posted meanwhile moves back: it takes new serials, past every earlier one.
        firstSerial_ += items_.size() + loaded.size();
        items_.insert(items_.begin(), std::make_move_iterator(loaded.rbegin()),
                      std::make_move_iterator(loaded.rend()));
        TrimLocked();
    };
    if (!SendRequest(s, MakeHeader(cmd::LoadMessages))) return false;
    for (;;) {
        std::int32_t more = 0;
        if (ReceiveExact(s, &more, 4) != 4) {
            keep();
            return false;
        }
        if (more < 1) break;
        std::int32_t time = 0;
        std::string text;
        const bool full =
            loaded.size() >= kMaxLoadedMessages || loadedBytes > kMaxStoredMessageBytes;
        if (full || !ReadMessageItem(s, time, text)) {
            // Past a bound the rest of the answer is not read: the connection is shut so that
            // no later answer on it is read out of step.
            if (full) s.Shutdown();
            keep();
            return false;
        }
        loadedBytes += text.size();
        loaded.push_back(MessageRecord{ChinaTimeStamp(time), std::move(text)});
    }
    keep();
    if (Size() > 0 && hook_) hook_(sound::Message);
    return true;
}

void MessageStore::Post(const std::string& text, std::int64_t time, int soundId) {
    std::string stamp = ChinaTimeStamp(time > 0 ? static_cast<std::time_t>(time) : now());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ += stamp.size() + text.size();
        items_.push_back(MessageRecord{std::move(stamp), text});
        TrimLocked();
    }
    if (hook_) hook_(soundId);
}

void MessageStore::TrimLocked() {
    if (items_.size() <= kMaxStoredMessages && bytes_ <= kMaxStoredMessageBytes) return;
    // Down to nine tenths of both bounds, so that a flood trims once in many posts.
    std::size_t drop = 0;
    while (drop < items_.size() && (items_.size() - drop > kMaxStoredMessages / 10 * 9 ||
                                    bytes_ > kMaxStoredMessageBytes / 10 * 9)) {
        bytes_ -= items_[drop].time.size() + items_[drop].content.size();
        ++drop;
    }
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(drop));
    firstSerial_ += drop;
}

std::vector<MessageRecord> MessageStore::Copy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}

std::vector<MessageRecord> MessageStore::CopyHeads(std::size_t contentBytes,
                                                   std::uint64_t& firstSerial) const {
    std::lock_guard<std::mutex> lock(mutex_);
    firstSerial = firstSerial_;
    std::vector<MessageRecord> heads;
    heads.reserve(items_.size());
    for (const MessageRecord& m : items_) {
        std::size_t cut = std::min(contentBytes, m.content.size());
        // Back to the start of a character (UTF-8 continuation bytes are 10xxxxxx).
        while (cut < m.content.size() && cut > 0 &&
               (static_cast<unsigned char>(m.content[cut]) & 0xC0) == 0x80)
            --cut;
        heads.push_back(MessageRecord{m.time, m.content.substr(0, cut)});
    }
    return heads;
}

std::optional<std::string> MessageStore::Content(std::uint64_t serial) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (serial < firstSerial_ || serial - firstSerial_ >= items_.size()) return std::nullopt;
    return items_[static_cast<std::size_t>(serial - firstSerial_)].content;
}

std::size_t MessageStore::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

}  // namespace zq
