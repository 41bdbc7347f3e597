// The two machine texts of the login request.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zq {

// Adds 5 to every character code of `text`.
std::string ShiftBy5(std::string text);

// "%02X" of each of the six bytes, then shifted by 5 ("0" becomes "5", "A" becomes "F").
std::string AdapterIdFromMac(const std::array<std::uint8_t, 6>& mac);

// The hardware address of the first non-loopback network adapter that has one.
std::optional<std::array<std::uint8_t, 6>> FirstAdapterMac();

// AdapterIdText of this machine; empty when no adapter is found.
std::string AdapterIdText();

// The processor text from the three CPUID leaves: vendor (EBX, EDX, ECX of leaf 0), then
// "%08X%08X" of EDX, EAX of leaf 1 when both are non-zero, then of EDX, ECX of leaf 3 when both
// are non-zero; shifted by 5.
struct CpuidLeaves {
    std::uint32_t l0[4];  // eax, ebx, ecx, edx
    std::uint32_t l1[4];
    std::uint32_t l3[4];
};
std::string ProcessorIdFromLeaves(const CpuidLeaves& leaves);

// ProcessorIdText of this machine; empty where the instruction is unavailable.
std::string ProcessorIdText();

}  // namespace zq
