// Bar builders shared by the market and chart tests.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "market/bar_series.h"
#include "market/wire/bar_record.h"

namespace zq::test {

// A finished bar: key number 2024, time text "MMDDhhmm"-like from `seq` so that every bar of a
// series is a different bar.
inline BarRecord FinishedBar(int seq, int open, int close, int high, int low, int instrument = 1,
                             int decimals = 2) {
    BarRecord r{};
    r.instrument = instrument;
    r.open = open;
    r.close = close;
    r.high = high;
    r.low = low;
    r.reference = open;
    r.decimals = decimals;
    r.keyNumber = 2024;
    std::snprintf(r.time, sizeof r.time, "%08d", seq);
    return r;
}

// The bar still forming: its time text has ':' as third character.
inline BarRecord LiveBar(int open, int close, int high, int low, int instrument = 1,
                         const char* time = "15:30") {
    BarRecord r = FinishedBar(0, open, close, high, low, instrument);
    std::memset(r.time, 0, sizeof r.time);
    std::strncpy(r.time, time, sizeof r.time - 1);
    return r;
}

inline BarRecord SignalBar(int instrument = 1) {
    BarRecord r{};
    r.instrument = 12345;  // a signal's bytes 4..7 are its price, not an instrument
    reinterpret_cast<unsigned char*>(&r)[17] = static_cast<unsigned char>(instrument);
    r.time[0] = static_cast<char>(255);
    r.time[2] = ':';
    return r;
}

// Resets the chart to instrument 1 at 15 minutes with `count` finished bars, seq 0 the oldest,
// newest first, prices rising with seq (open p, close p + 2, high p + 5, low p - 5 for
// p = 1000 + seq), on a client area of width x height.
inline void FillChart(KLineData& chart, int count, int width = 800, int height = 600) {
    chart.Reset(1, 15);
    for (int i = count - 1; i >= 0; --i) {
        int p = 1000 + i;
        chart.AppendHistoryBar(FinishedBar(i, p, p + 2, p + 5, p - 5));
    }
    chart.SetClientSize(width, height);
}

inline std::string Time(const BarRecord& r) {
    return std::string(TimeText(r));
}

}  // namespace zq::test
