// The member's drawing tools as the server keeps them: one list of every tool of every
// instrument and period, loaded once per program run and kept in step with the server by the
// saves and deletes of the chart.
//
//   ToolStore store;                                 // one per program (the main frame's)
//   store.LoadLater(instrument, period, deliver);    // every chart reset
//   store.SaveLater(tool);                           // a tool the user has just completed
//   store.DeleteLater(instrument, period);           // the clear command
//
// Each exchange opens its own request connection and closes it; no message is ever shown. A
// load that fails leaves the store not loaded, so that the next reset asks the server again.
// The chart's reset, mouse and clear paths run on the window thread: their exchanges run one
// after another, in the order they were asked for, on a worker of the program's
// OperationRunner, each under a deadline of its own. The worker holds the list's state, not
// the store, so a store may go while one still runs. A lock keeps the list whole.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "market/wire/tool_record.h"

namespace zq {

class ToolStore {
  public:
    using Delivery = std::function<void(std::vector<ToolLineRecord> tools)>;

    // Empties `out`, loads the list from the server unless that has already succeeded, and
    // appends a copy of every stored tool of this instrument and period to `out`.
    void Load(int instrument, int period, std::vector<ToolLineRecord>& out);
    // Sends the tool to the server; it joins the list when the server answers that it stored
    // it. False when the server could not be reached or did not store it.
    bool Save(const ToolLineRecord& tool);
    // Asks the server to remove every tool of this instrument and period; on its success they
    // leave the list too. On failure the list stays as it was.
    bool Delete(int instrument, int period);

    // The same without waiting. LoadLater hands the tools Load finds to `deliver`: at once when
    // the list is in, otherwise from a worker once the server has answered.
    void LoadLater(int instrument, int period, Delivery deliver);
    void SaveLater(const ToolLineRecord& tool);
    void DeleteLater(int instrument, int period);

    bool Loaded() const;
    std::vector<ToolLineRecord> Records() const;

  private:
    struct State {
        mutable std::mutex mutex;
        std::vector<ToolLineRecord> records;
        bool loaded = false;
        // The exchanges waiting for the worker, and whether one runs.
        std::deque<std::function<void(State&)>> waiting;
        bool running = false;
    };
    void InTurn(std::function<void(State&)> exchange);
    static void Load(State& state, int instrument, int period, std::vector<ToolLineRecord>& out);
    static bool Save(State& state, const ToolLineRecord& tool);
    static bool Delete(State& state, int instrument, int period);

    const std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace zq
