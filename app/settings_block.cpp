#include "app/settings_block.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/config.h"
#include "net/ansi_text.h"

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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return b;
    SettingsBlock file;
    std::size_t got = 0;
    auto* p = reinterpret_cast<unsigned char*>(&file);
    while (got < sizeof file) {
        ssize_t n = ::read(fd, p + got, sizeof file - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got == sizeof file && file.validity == 1) b = file;
    return b;
}

SettingsBlock ReadSettings() {
    return ReadSettings(SettingsPath());
}

bool WriteSettings(const std::string& path, SettingsBlock block) {
    block.validity = 1;
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(&block);
    std::size_t done = 0;
    bool ok = true;
    while (done < sizeof block) {
        ssize_t n = ::write(fd, p + done, sizeof block - done);
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) std::remove(tmp.c_str());
    return ok;
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
