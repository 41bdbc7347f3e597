// Heikin Ashi bars, computed in the scaled integers with divisions that truncate toward zero.
#pragma once

#include <deque>

#include "market/wire/bar_record.h"

namespace zq {

// The Heikin Ashi bar of `raw` following `previous` (the Heikin Ashi bar before it; all zero for
// the oldest bar). Instrument, decimals, key number and time text are those of `raw`.
//   close     = (O + H + L + C) / 4
//   open      = (previous open + previous close) / 2
//   high, low = the extremes of the raw high or low, open and close
//   reference = previous close
// While the previous open is not above 0 the bar is the raw bar with only its close replaced.
BarRecord HeikinAshiBar(const BarRecord& raw, const BarRecord& previous);

// Replaces `out` with the Heikin Ashi transform of `raw`; both lists are newest first.
void BuildHeikinAshi(const std::deque<BarRecord>& raw, std::deque<BarRecord>& out);

}  // namespace zq
