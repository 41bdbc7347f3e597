#include "chart/tool_store.h"

#include <algorithm>
#include <chrono>

#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "net/wire/socket.h"
#include "widgets/operation_runner.h"

namespace zq {

namespace {

bool SameChart(const ToolLineRecord& r, int instrument, int period) {
    return r.instrument == instrument && r.period == period;
}

// The whole list from the server; nothing when the exchange failed at any point.
bool FetchAll(std::vector<ToolLineRecord>& out) {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return false;
    if (!SendRequest(s, MakeHeader(cmd::LoadTools))) {
        s.Close();
        return false;
    }
    const ListResult list = ReadCountedList(s, out);
    s.ShutdownClose();
    // What the server sent is stored as complete, whatever state it came back with.
    for (ToolLineRecord& r : out) r.state = tool_state::Complete;
    return list.complete;
}

// One request with a one-byte answer; true on a positive answer.
bool ByteRequest(std::int32_t command, const ToolLineRecord& payload) {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) return false;
    bool ok = false;
    if (SendRequest(s, MakeHeader(command), &payload, sizeof payload))
        ok = ByteAnswerPositive(ReadByteAnswer(s));
    s.ShutdownClose();
    return ok;
}

}  // namespace

void ToolStore::Load(State& state, int instrument, int period, std::vector<ToolLineRecord>& out) {
    out.clear();
    bool loaded = false;
    {
        std::lock_guard lock(state.mutex);
        loaded = state.loaded;
    }
    if (!loaded) {
        std::vector<ToolLineRecord> fetched;
        const bool complete = FetchAll(fetched);
        std::lock_guard lock(state.mutex);
        if (complete) {
            state.records = std::move(fetched);
            state.loaded = true;
        } else {
            // A broken answer is not taken as the member's whole list: the next reset asks
            // again. The tools that did arrive are still shown on this chart.
            for (const ToolLineRecord& r : fetched)
                if (SameChart(r, instrument, period)) out.push_back(r);
            return;
        }
    }
    std::lock_guard lock(state.mutex);
    for (const ToolLineRecord& r : state.records)
        if (SameChart(r, instrument, period)) out.push_back(r);
}

bool ToolStore::Save(State& state, const ToolLineRecord& tool) {
    if (!ByteRequest(cmd::StoreTool, tool)) return false;
    std::lock_guard lock(state.mutex);
    state.records.push_back(tool);
    return true;
}

bool ToolStore::Delete(State& state, int instrument, int period) {
    ToolLineRecord request{};
    request.instrument = instrument;
    request.period = period;
    if (!ByteRequest(cmd::DeleteTools, request)) return false;
    std::lock_guard lock(state.mutex);
    std::erase_if(state.records,
                  [&](const ToolLineRecord& r) { return SameChart(r, instrument, period); });
    return true;
}

void ToolStore::Load(int instrument, int period, std::vector<ToolLineRecord>& out) {
    Load(*state_, instrument, period, out);
}

bool ToolStore::Save(const ToolLineRecord& tool) {
    return Save(*state_, tool);
}

bool ToolStore::Delete(int instrument, int period) {
    return Delete(*state_, instrument, period);
}

void ToolStore::InTurn(std::function<void(State&)> exchange) {
    {
        std::lock_guard lock(state_->mutex);
        state_->waiting.push_back(std::move(exchange));
        if (state_->running) return;
        state_->running = true;
    }
    Operations().Start([state = state_] {
        for (;;) {
            std::function<void(State&)> next;
            {
                std::lock_guard lock(state->mutex);
                if (state->waiting.empty()) {
                    state->running = false;
                    return;
                }
                next = std::move(state->waiting.front());
                state->waiting.pop_front();
            }
            const OperationDeadline::Scope deadline(
                OperationDeadline::Clock::now() +
                std::chrono::milliseconds(timeouts::OperationDeadlineMs()));
            next(*state);
        }
    });
}

void ToolStore::LoadLater(int instrument, int period, Delivery deliver) {
    if (Loaded()) {
        std::vector<ToolLineRecord> tools;
        Load(*state_, instrument, period, tools);
        deliver(std::move(tools));
        return;
    }
    InTurn([instrument, period, deliver = std::move(deliver)](State& state) {
        std::vector<ToolLineRecord> tools;
        Load(state, instrument, period, tools);
        deliver(std::move(tools));
    });
}

void ToolStore::SaveLater(const ToolLineRecord& tool) {
    InTurn([tool](State& state) { Save(state, tool); });
}

void ToolStore::DeleteLater(int instrument, int period) {
    InTurn([instrument, period](State& state) { Delete(state, instrument, period); });
}

bool ToolStore::Loaded() const {
    std::lock_guard lock(state_->mutex);
    return state_->loaded;
}

std::vector<ToolLineRecord> ToolStore::Records() const {
    std::lock_guard lock(state_->mutex);
    return state_->records;
}

}  // namespace zq
