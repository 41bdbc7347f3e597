// A history cache file as it is found on disk, read and merged with a download.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "market/history_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = zq::fuzz::ScratchDirectory("cache") + "/kd1_15";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::deque<zq::BarRecord> bars = zq::ReadHistoryFile(path, 1);
    if (bars.empty()) return 0;
    zq::KLineData chart;
    chart.Reset(1, 15);
    chart.SetClientSize(800, 500);
    chart.SetHistory(std::move(bars));
    chart.MergeHistory();
    chart.Layout();
    return 0;
}
