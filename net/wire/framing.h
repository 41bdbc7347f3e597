// The request header that opens every exchange on every port, and the command codes.
// All integers on the wire are little-endian two's complement; there is no length prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zq {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire records are little-endian");

#pragma pack(push, 1)
struct RequestHeader {
    std::int32_t command;
    std::int32_t key[4];  // SessionKey words 1..4
    std::int32_t accountClass;
};
#pragma pack(pop)
static_assert(sizeof(RequestHeader) == 24);
static_assert(offsetof(RequestHeader, command) == 0);
static_assert(offsetof(RequestHeader, key) == 4);
static_assert(offsetof(RequestHeader, accountClass) == 20);

// Types of the push link's items (an int32 in front of each): -1 the server closes the link,
// 0 nothing, 1 a market record, 2 an instant message, 3 100 bytes to skip, 4 a keep-alive,
// 5 the member logged in elsewhere.
namespace push {
constexpr std::int32_t Closed = -1;
constexpr std::int32_t Nothing = 0;
constexpr std::int32_t Record = 1;
constexpr std::int32_t Message = 2;
constexpr std::int32_t Discard = 3;
constexpr std::int32_t KeepAlive = 4;
constexpr std::int32_t ForcedOffline = 5;
constexpr int kDiscardBytes = 100;
}  // namespace push

namespace cmd {
constexpr std::int32_t Subscribe = 0;
constexpr std::int32_t LoadInstruments = 1;
constexpr std::int32_t Logout = 4;
constexpr std::int32_t VerificationImage = 5;
constexpr std::int32_t Login = 6;
constexpr std::int32_t VersionCheck = 7;
constexpr std::int32_t LoadPriceAlerts = 8;
constexpr std::int32_t SavePriceAlert = 9;
constexpr std::int32_t RemovePriceAlert = 10;
constexpr std::int32_t OpenOrder = 11;
constexpr std::int32_t ModifyPosition = 13;
constexpr std::int32_t ModifyPending = 14;
constexpr std::int32_t DeletePending = 15;
constexpr std::int32_t LoadPositions = 16;
constexpr std::int32_t LoadPending = 17;
constexpr std::int32_t ClosePosition = 18;
constexpr std::int32_t LoadFills = 19;
constexpr std::int32_t LoadSummary = 20;
constexpr std::int32_t LoadAccount = 21;
constexpr std::int32_t SaveSignalFlags = 41;
constexpr std::int32_t LoadSignalFlags = 42;
constexpr std::int32_t LoadMessages = 44;
constexpr std::int32_t StoreTool = 45;
constexpr std::int32_t LoadTools = 46;
constexpr std::int32_t DeleteTools = 47;
constexpr std::int32_t SaveProgramTrading = 53;
constexpr std::int32_t LoadTradingHours = 54;
constexpr std::int32_t LoadProfitAlerts = 56;
constexpr std::int32_t UpdateProfitAlert = 58;

// A history transfer on the data link: period (minutes) × 1000 + instrument.
constexpr std::int32_t History(int periodMinutes, int instrument) {
    return periodMinutes * 1000 + instrument;
}
}  // namespace cmd

// The program's own version, compared with the server's answer to `cmd::VersionCheck`.
constexpr std::int32_t ProgramVersion = 12123111;

// Header of a session request: the command, the four SessionKey words, AccountClass.
RequestHeader MakeHeader(std::int32_t command);

// Headers of the two commands sent before a session exists: zero but for the command, the low
// half of AccountClass at offset 8 and, for the version check, the 16-bit value 24 at offset 10.
RequestHeader MakeLoginHeader();
RequestHeader MakeVersionHeader();

// Reading of one-byte answers. The byte starts as 0 and a failed read leaves it so.
// `cmd::SaveSignalFlags`, `cmd::StoreTool`, `cmd::DeleteTools` and `cmd::SaveProgramTrading`
// succeed on a signed value above 0; `cmd::RemovePriceAlert` on anything but 0.
inline bool ByteAnswerPositive(std::uint8_t b) {
    return static_cast<std::int8_t>(b) > 0;
}
inline bool ByteAnswerNonZero(std::uint8_t b) {
    return b != 0;
}

}  // namespace zq
