// The 100-byte settings file "data": read whole, written whole. Every writer reads the block,
// changes only its own field and writes the block back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq {

#pragma pack(push, 1)
struct SettingsBlock {
    std::uint8_t unused0[12];
    std::uint8_t instrumentFlags[50];  // 1 when created; carried over by every write
    std::uint8_t unused62[6];
    std::int32_t lastInstrument;  // accepted when read only in 1..99
    char memberName[24];          // ANSI, NUL-terminated
    std::int32_t validity;        // always 1
};
#pragma pack(pop)
static_assert(sizeof(SettingsBlock) == 100);
static_assert(offsetof(SettingsBlock, instrumentFlags) == 12);
static_assert(offsetof(SettingsBlock, unused62) == 62);
static_assert(offsetof(SettingsBlock, lastInstrument) == 68);
static_assert(offsetof(SettingsBlock, memberName) == 72);
static_assert(offsetof(SettingsBlock, validity) == 96);

// The block of a fresh installation: zeros, the 50 instrument bytes set to 1.
SettingsBlock DefaultSettings();

// The path of "data" in the data directory.
std::string SettingsPath();

// Reads `path`: its 100 bytes when the file holds at least that many and they carry the
// validity mark 1; the defaults otherwise (a missing, short or foreign file).
SettingsBlock ReadSettings(const std::string& path);
SettingsBlock ReadSettings();

// Writes the block with the validity mark set, replacing the file atomically (a temporary file
// renamed over the old one). False when it could not be written; the old file is then intact.
bool WriteSettings(const std::string& path, SettingsBlock block);
bool WriteSettings(const SettingsBlock& block);

// The last instrument when it lies in 1..99, else 0.
int AcceptedLastInstrument(const SettingsBlock& block);

// The stored member name, UTF-8.
std::string StoredMemberName(const SettingsBlock& block);

// Stores a member name (UTF-8): its code page 936 form, cut at a character boundary to 23
// bytes so that the field stays NUL-terminated.
void StoreMemberName(SettingsBlock& block, const std::string& utf8);

// Read-modify-write helpers for the two writers.
bool SaveMemberName(const std::string& utf8);
bool SaveLastInstrument(int instrument);

}  // namespace zq
