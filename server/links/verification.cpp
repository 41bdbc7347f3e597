#include "server/links/verification.h"

#include <cmath>
#include <cstdio>
#include <random>

#include "server/store/random.h"

namespace zq::server {
namespace {

// clang-format off
constexpr Glyph kGlyphs[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
};
// clang-format on

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

void Put(VerificationPixels& px, int x, int y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    if (x < 0 || x >= kVerifyWidth || y < 0 || y >= kVerifyHeight) return;
    std::size_t at = PixelOffset(x, y);
    px[at] = b;
    px[at + 1] = g;
    px[at + 2] = r;
}

}  // namespace

std::span<const Glyph> GlyphTable() {
    return kGlyphs;
}

const Glyph* FindGlyph(char ch) {
    ch = Upper(ch);
    for (const Glyph& g : kGlyphs)
        if (g.ch == ch) return &g;
    return nullptr;
}

bool IsDrawableCode(std::string_view code) {
    if (code.size() != kCodeLength) return false;
    for (char c : code)
        if (!FindGlyph(c)) return false;
    return true;
}

std::string MakeCode() {
    std::string code(kCodeLength, ' ');
    for (char& c : code)
        c = kCodeAlphabet[SystemRandomBelow(static_cast<std::uint32_t>(kCodeAlphabet.size()))];
    return code;
}

bool CodesMatch(std::string_view expected, std::string_view typed) {
    if (expected.size() != typed.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (Upper(expected[i]) != Upper(typed[i])) return false;
    return true;
}

VerificationPixels RenderCode(std::string_view code, std::uint64_t noiseSeed) {
    std::mt19937_64 rng(noiseSeed);
    auto between = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    VerificationPixels px{};  // padding bytes stay zero
    // A light background with a soft horizontal tint.
    const int tintB = between(0, 30), tintG = between(0, 30), tintR = between(0, 30);
    for (int y = 0; y < kVerifyHeight; ++y) {
        for (int x = 0; x < kVerifyWidth; ++x) {
            int fade = x * 20 / kVerifyWidth;
            Put(px, x, y, static_cast<std::uint8_t>(255 - tintB * (20 - fade) / 20),
                static_cast<std::uint8_t>(255 - tintG * fade / 20),
                static_cast<std::uint8_t>(255 - tintR));
        }
    }
    // Light noise: a wavy line and scattered dots, all well above the glyphs' darkness.
    {
        const double phase = between(0, 628) / 100.0;
        const int mid = between(6, 13);
        const auto shade = static_cast<std::uint8_t>(between(kLightMin + 10, kLightMin + 40));
        for (int x = 0; x < kVerifyWidth; ++x) {
            int y = mid + static_cast<int>(3.0 * std::sin(phase + x / 6.0));
            Put(px, x, y, shade, static_cast<std::uint8_t>(shade + 10), shade);
        }
        for (int i = 0; i < 40; ++i) {
            auto s = static_cast<std::uint8_t>(between(kLightMin, kLightMin + 50));
            Put(px, between(0, kVerifyWidth - 1), between(0, kVerifyHeight - 1), s,
                static_cast<std::uint8_t>(between(kLightMin, 230)), s);
        }
    }
    // The glyphs, each in its own dark colour, drawn last so that no noise covers them.
    for (int i = 0; i < kCodeLength && i < static_cast<int>(code.size()); ++i) {
        const Glyph* g = FindGlyph(code[static_cast<std::size_t>(i)]);
        if (!g) continue;
        const int left = kFirstCellX + i * kCellPitch + between(-kCellJitter, kCellJitter);
        const int top = kCellTop + between(-kCellJitter, kCellJitter);
        const auto b = static_cast<std::uint8_t>(between(0, kDarkMax));
        const auto gr = static_cast<std::uint8_t>(between(0, kDarkMax / 2));
        const auto r = static_cast<std::uint8_t>(between(0, kDarkMax));
        for (int row = 0; row < kGlyphRows; ++row)
            for (int col = 0; col < kGlyphCols; ++col)
                if (g->Lit(col, row))
                    for (int dy = 0; dy < kGlyphScale; ++dy)
                        for (int dx = 0; dx < kGlyphScale; ++dx)
                            Put(px, left + col * kGlyphScale + dx, top + row * kGlyphScale + dy, b,
                                gr, r);
    }
    return px;
}

// ---- pending keys ----

VerificationKeys::PutResult VerificationKeys::Put(const Key& key, std::string code,
                                                  std::uint32_t address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpired(now);
    if (entries_.count(key)) return PutResult::KeyPending;
    if (entries_.size() >= capacity_) return PutResult::Full;
    if (auto it = perAddressCount_.find(address);
        it != perAddressCount_.end() && it->second >= perAddress_)
        return PutResult::Full;
    // Keys taken early leave stale places in the order; sweep them out now and then so the
    // order stays as bounded as the map.
    if (order_.size() >= 2 * capacity_) {
        std::deque<std::pair<Key, Clock::time_point>> live;
        for (const auto& item : order_) {
            auto it = entries_.find(item.first);
            if (it != entries_.end() && it->second.issued == item.second) live.push_back(item);
        }
        order_.swap(live);
    }
    entries_.emplace(key, Entry{std::move(code), now, address});
    ++perAddressCount_[address];
    order_.emplace_back(key, now);
    return PutResult::Stored;
}

std::optional<std::string> VerificationKeys::Take(const Key& key, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpired(now);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    std::string code = std::move(it->second.code);
    Erase(it);
    return code;
}

bool VerificationKeys::Contains(const Key& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.count(key) != 0;
}

std::size_t VerificationKeys::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::size_t VerificationKeys::PendingFor(std::uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = perAddressCount_.find(address);
    return it == perAddressCount_.end() ? 0 : it->second;
}

void VerificationKeys::Erase(std::unordered_map<Key, Entry, KeyHash>::iterator it) {
    if (auto count = perAddressCount_.find(it->second.address);
        count != perAddressCount_.end() && --count->second == 0)
        perAddressCount_.erase(count);
    entries_.erase(it);
}

void VerificationKeys::DropExpired(Clock::time_point now) {
    while (!order_.empty() && now - order_.front().second >= lifetime_) {
        auto it = entries_.find(order_.front().first);
        if (it != entries_.end() && it->second.issued == order_.front().second) Erase(it);
        order_.pop_front();
    }
}

}  // namespace zq::server
