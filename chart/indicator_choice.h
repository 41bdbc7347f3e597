// The member's choice of indicator overlays on the chart (chart_indicator bits), kept between
// runs in a small text file of its own beside the settings file, one line a choice:
//
//   ma=1
//   boll=0
//
// A missing or unreadable file, or a line it does not know, leaves that overlay off.
#pragma once

#include <string>

namespace zq {

// "indicators" in the data directory.
std::string IndicatorChoicePath();

unsigned ReadIndicatorChoice(const std::string& path);
// Written whole and renamed into place; false when it could not be written.
bool WriteIndicatorChoice(const std::string& path, unsigned indicators);

inline unsigned ReadIndicatorChoice() {
    return ReadIndicatorChoice(IndicatorChoicePath());
}
// Into the data directory, made when missing.
bool WriteIndicatorChoice(unsigned indicators);

}  // namespace zq
