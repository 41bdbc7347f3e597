#include "chart/indicator_choice.h"

#include <fstream>

#include "base/atomic_file.h"
#include "base/config.h"
#include "market/bar_series.h"

namespace zq {

std::string IndicatorChoicePath() {
    return DataDirectory() + "/indicators";
}

unsigned ReadIndicatorChoice(const std::string& path) {
    std::ifstream in(path);
    unsigned choice = 0;
    std::string line;
    // A few short lines: anything longer is not this file.
    for (int lines = 0; lines < 16 && std::getline(in, line); ++lines) {
        if (line == "ma=1") choice |= chart_indicator::MovingAverages;
        if (line == "boll=1") choice |= chart_indicator::Bollinger;
    }
    return choice;
}

bool WriteIndicatorChoice(const std::string& path, unsigned indicators) {
    std::string text = "ma=";
    text += indicators & chart_indicator::MovingAverages ? "1\n" : "0\n";
    text += "boll=";
    text += indicators & chart_indicator::Bollinger ? "1\n" : "0\n";
    return WriteFileAtomically(path, text);
}

bool WriteIndicatorChoice(unsigned indicators) {
    return EnsureDirectory(DataDirectory()) &&
           WriteIndicatorChoice(IndicatorChoicePath(), indicators);
}

}  // namespace zq
