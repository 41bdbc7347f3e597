#include "app/settings_block.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/atomic_file.h"
#include "base/config.h"
#include "base/unique_fd.h"
#include "net/wire/ansi_text.h"

namespace zq {

SettingsBlock DefaultSettings() {
    SettingsBlock b;
    std::memset(&b, 0, sizeof b);
    std::memset(b.instrumentFlags, 1, sizeof b.instrumentFlags);
    return b;
}

std::string SettingsPath() {
    return DataDirectory() + "/data";
}

SettingsBlock ReadSettings(const std::string& path) {
    SettingsBlock b = DefaultSettings();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return b;
    SettingsBlock file;
    const std::size_t got = ReadFully(fd.Get(), &file, sizeof file);
    if (got == sizeof file && file.validity == 1) b = file;
    return b;
}

SettingsBlock ReadSettings() {
    // The first read of a run sweeps what a write killed before its rename left behind.
    static std::once_flag swept;
    std::call_once(swept, [] { RemoveStaleTemporaries(DataDirectory()); });
    return ReadSettings(SettingsPath());
}

bool WriteSettings(const std::string& path, SettingsBlock block) {
    block.validity = 1;
    return WriteFileAtomically(path, &block, sizeof block);
}

bool WriteSettings(const SettingsBlock& block) {
    return WriteSettings(SettingsPath(), block);
}

int AcceptedLastInstrument(const SettingsBlock& block) {
    return (block.lastInstrument >= 1 && block.lastInstrument <= 99) ? block.lastInstrument : 0;
}

std::string StoredMemberName(const SettingsBlock& block) {
    return FieldToUtf8(block.memberName, sizeof block.memberName);
}

void StoreMemberName(SettingsBlock& block, const std::string& utf8) {
    PutField(block.memberName, sizeof block.memberName, ToAnsi(utf8));
}

bool SaveMemberName(const std::string& utf8) {
    SettingsBlock b = ReadSettings();
    StoreMemberName(b, utf8);
    return WriteSettings(b);
}

bool SaveLastInstrument(int instrument) {
    SettingsBlock b = ReadSettings();
    b.lastInstrument = instrument;
    return WriteSettings(b);
}

}  // namespace zq
