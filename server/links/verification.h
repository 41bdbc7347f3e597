// Verification images and the keys bound to their codes.
//
// A code is four characters drawn from an alphabet without look-alikes (no 0/O, 1/I). Each
// character is a 5 × 7 glyph drawn at twice its size into its own cell of the 65 × 20 image:
// cell i starts at x = kFirstCellX + i × kCellPitch, y = kCellTop (counted from the top row),
// each moved by at most kCellJitter pixels either way. Glyph pixels are dark (every colour
// channel at most kDarkMax); the background and its noise are light (every channel at least
// kLightMin), so a threshold between the two shows exactly the glyphs.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/wire/login_records.h"
#include "server/links/keys.h"

namespace zq::server {

constexpr int kCodeLength = 4;
constexpr int kGlyphCols = 5;
constexpr int kGlyphRows = 7;
constexpr int kGlyphScale = 2;
constexpr int kCellWidth = kGlyphCols * kGlyphScale;   // 10
constexpr int kCellHeight = kGlyphRows * kGlyphScale;  // 14
constexpr int kCellPitch = 15;
constexpr int kFirstCellX = 5;
constexpr int kCellTop = 3;
constexpr int kCellJitter = 1;
constexpr int kDarkMax = 96;
constexpr int kLightMin = 160;
static_assert(kFirstCellX + (kCodeLength - 1) * kCellPitch + kCellWidth + kCellJitter <=
              kVerifyWidth);
static_assert(kCellTop + kCellHeight + kCellJitter <= kVerifyHeight);

// The characters random codes are made of.
constexpr std::string_view kCodeAlphabet = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";

struct Glyph {
    char ch;
    const char* rows[kGlyphRows];  // kGlyphCols characters each, '#' lit
    bool Lit(int col, int row) const { return rows[row][col] == '#'; }
};

// Every glyph the server can draw: the digits 0-9 and the letters A-Z.
std::span<const Glyph> GlyphTable();
// The glyph of a character (letters in either case); null when there is none.
const Glyph* FindGlyph(char ch);

// A code of kCodeLength characters that the server can draw (either case).
bool IsDrawableCode(std::string_view code);

// A fresh random code from kCodeAlphabet.
std::string MakeCode();

// Whether a typed code matches: same length, same characters ignoring ASCII case.
bool CodesMatch(std::string_view expected, std::string_view typed);

using VerificationPixels = std::array<std::uint8_t, kVerifyImageBytes>;

// Pixel (x, y), y counted from the top, of the bottom-up image: blue, green, red at the
// returned offset.
constexpr std::size_t PixelOffset(int x, int y) {
    return static_cast<std::size_t>((kVerifyHeight - 1 - y) * kVerifyStride + x * 3);
}

// Draws a drawable code; `noiseSeed` picks the background, the glyph colours, the cell
// jitter and the noise.
VerificationPixels RenderCode(std::string_view code, std::uint64_t noiseSeed);

// The pending logins: key → code of the image it came with. A key is good for one login
// attempt within `lifetime`. At most `capacity` keys are pending, and at most `perAddress` of
// them for one peer address; beyond either a new key is refused, so that a flood of images never
// pushes out the pending key of another client.
class VerificationKeys {
  public:
    using Clock = std::chrono::steady_clock;
    // An office of members behind one address logs in at once; a flood from 128 addresses holds
    // at most half the table, and its keys are gone within a minute.
    static constexpr std::size_t kDefaultPerAddress = 256;
    static constexpr std::size_t kDefaultCapacity = 65536;
    static constexpr Clock::duration kDefaultLifetime = std::chrono::minutes(1);
    static_assert(128 * kDefaultPerAddress <= kDefaultCapacity / 2);

    explicit VerificationKeys(std::size_t capacity = kDefaultCapacity,
                              Clock::duration lifetime = kDefaultLifetime,
                              std::size_t perAddress = kDefaultPerAddress)
        : capacity_(capacity ? capacity : 1),
          perAddress_(perAddress ? perAddress : 1),
          lifetime_(lifetime) {}

    enum class PutResult {
        Stored,
        KeyPending,  // the key is already bound to a pending login: nothing stored
        Full,        // no room for the address (IPv4, network order) or for anyone
    };
    PutResult Put(const Key& key, std::string code, std::uint32_t address = 0,
                  Clock::time_point now = Clock::now());
    // Removes the key and returns its code; nothing when it is unknown, used or expired.
    std::optional<std::string> Take(const Key& key, Clock::time_point now = Clock::now());
    bool Contains(const Key& key) const;
    std::size_t Size() const;
    // The keys pending for one address.
    std::size_t PendingFor(std::uint32_t address) const;

  private:
    struct Entry {
        std::string code;
        Clock::time_point issued;
        std::uint32_t address = 0;
    };
    void DropExpired(Clock::time_point now);
    // Both under mutex_.
    void Erase(std::unordered_map<Key, Entry, KeyHash>::iterator it);

    const std::size_t capacity_;
    const std::size_t perAddress_;
    const Clock::duration lifetime_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    std::deque<std::pair<Key, Clock::time_point>> order_;  // oldest first; may hold taken keys
    std::unordered_map<std::uint32_t, std::size_t> perAddressCount_;
};

}  // namespace zq::server
