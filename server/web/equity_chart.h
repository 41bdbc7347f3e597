// The equity-curve picture of the web pages: a member's balance over time as a PNG, drawn by
// the server itself (the verification images' 5 × 7 font for the axis figures).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/trading/fills.h"

namespace zq::server {

constexpr int kEquityChartWidth = 760;
constexpr int kEquityChartHeight = 420;

// An RGB picture, rows from the top.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;  // width × height × 3

    std::uint8_t* At(int x, int y) {
        return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
    }
};

// The curve of `points` (oldest first; empty draws the axes alone): a grid with the balance at
// the left and the Beijing dates below, the balance as a line.
Picture DrawEquityChart(const std::vector<BalancePoint>& points);

// The picture as a PNG file; empty when encoding fails.
std::string EncodePng(const Picture& picture);

}  // namespace zq::server
