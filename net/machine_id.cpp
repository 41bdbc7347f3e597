#include "net/machine_id.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zq {

std::string ShiftBy5(std::string text) {
    for (char& c : text) c = static_cast<char>(c + 5);
    return text;
}

std::string AdapterIdFromMac(const std::array<std::uint8_t, 6>& m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return ShiftBy5(buf);
}

std::optional<std::array<std::uint8_t, 6>> FirstAdapterMac() {
    // Adapters in the kernel's order; the first non-loopback one with a non-zero address.
    ifaddrs* list = nullptr;
    std::vector<std::string> names;
    if (getifaddrs(&list) == 0) {
        std::set<std::string> seen;
        for (ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_name || (a->ifa_flags & IFF_LOOPBACK)) continue;
            if (seen.insert(a->ifa_name).second) names.push_back(a->ifa_name);
        }
        freeifaddrs(list);
    }
    for (const std::string& name : names) {
        std::ifstream f("/sys/class/net/" + name + "/address");
        std::string text;
        if (!(f >> text)) continue;
        std::array<std::uint8_t, 6> mac{};
        unsigned v[6];
        if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4],
                        &v[5]) != 6)
            continue;
        bool any = false;
        for (int i = 0; i < 6; ++i) {
            mac[i] = static_cast<std::uint8_t>(v[i]);
            any = any || mac[i];
        }
        if (any) return mac;
    }
    return std::nullopt;
}

std::string AdapterIdText() {
    auto mac = FirstAdapterMac();
    return mac ? AdapterIdFromMac(*mac) : std::string();
}

std::string ProcessorIdFromLeaves(const CpuidLeaves& l) {
    char vendor[13];
    std::memcpy(vendor, &l.l0[1], 4);
    std::memcpy(vendor + 4, &l.l0[3], 4);
    std::memcpy(vendor + 8, &l.l0[2], 4);
    vendor[12] = '\0';
    std::string text = vendor;
    char buf[20];
    if (l.l1[3] != 0 && l.l1[0] != 0) {
        std::snprintf(buf, sizeof buf, "%08X%08X", l.l1[3], l.l1[0]);
        text += buf;
    }
    if (l.l3[3] != 0 && l.l3[2] != 0) {
        std::snprintf(buf, sizeof buf, "%08X%08X", l.l3[3], l.l3[2]);
        text += buf;
    }
    return ShiftBy5(text);
}

std::string ProcessorIdText() {
#if defined(__x86_64__) || defined(__i386__)
    CpuidLeaves l{};
    unsigned a, b, c, d;
    __cpuid(0, a, b, c, d);
    l.l0[0] = a, l.l0[1] = b, l.l0[2] = c, l.l0[3] = d;
    unsigned maxLeaf = a;
    if (maxLeaf >= 1) {
        __cpuid(1, a, b, c, d);
        l.l1[0] = a, l.l1[1] = b, l.l1[2] = c, l.l1[3] = d;
    }
    if (maxLeaf >= 3) {
        __cpuid(3, a, b, c, d);
        l.l3[0] = a, l.l3[1] = b, l.l3[2] = c, l.l3[3] = d;
    }
    return ProcessorIdFromLeaves(l);
#else
    return {};
#endif
}

}  // namespace zq
