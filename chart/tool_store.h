// The member's drawing tools as the server keeps them: one list of every tool of every
// instrument and period, loaded once per program run and kept in step with the server by the
// saves and deletes of the chart.
//
//   ToolStore store;                                 // one per program (the main frame's)
//   store.Load(instrument, period, chartTools);      // every chart reset, under the tool lock
//   store.Save(tool);                                // a tool the user has just completed
//   store.Delete(instrument, period);                // the clear command
//
// Each call opens its own request connection and closes it; no message is ever shown. A load
// that fails leaves the store not loaded, so that the next reset asks the server again. The
// calls come from the chart's reset, mouse and clear paths; a lock keeps the list whole should
// two of them ever meet.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "market/wire/tool_record.h"

namespace zq {

class ToolStore {
  public:
    // Empties `out`, loads the list from the server unless that has already succeeded, and
    // appends a copy of every stored tool of this instrument and period to `out`.
    void Load(int instrument, int period, std::vector<ToolLineRecord>& out);
    // Sends the tool to the server; it joins the list when the server answers that it stored
    // it. False when the server could not be reached or did not store it.
    bool Save(const ToolLineRecord& tool);
    // Asks the server to remove every tool of this instrument and period; on its success they
    // leave the list too. On failure the list stays as it was.
    bool Delete(int instrument, int period);

    bool Loaded() const;
    std::vector<ToolLineRecord> Records() const;

  private:
    mutable std::mutex mutex_;
    std::vector<ToolLineRecord> records_;
    bool loaded_ = false;
};

}  // namespace zq
