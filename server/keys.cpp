#include "server/keys.h"

#include <cstdio>

#include "server/random.h"

namespace zq::server {

Key RandomKey() {
    Key k;
    do {
        SystemRandomBytes(k.data(), sizeof k);
    } while (IsZeroKey(k));
    return k;
}

std::string KeyTag(const Key& k) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<std::uint32_t>(k[0]));
    return buf;
}

}  // namespace zq::server
