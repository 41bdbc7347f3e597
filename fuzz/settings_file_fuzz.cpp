// The settings file "data" as it is found beside the program.
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "app/settings_block.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = zq::fuzz::ScratchDirectory("settings") + "/data";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    zq::SettingsBlock block = zq::ReadSettings(path);
    zq::AcceptedLastInstrument(block);
    const std::string name = zq::StoredMemberName(block);
    zq::StoreMemberName(block, name);
    return 0;
}
