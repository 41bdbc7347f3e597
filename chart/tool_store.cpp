#include "chart/tool_store.h"

#include <algorithm>

#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "net/wire/socket.h"

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

void ToolStore::Load(int instrument, int period, std::vector<ToolLineRecord>& out) {
    out.clear();
    if (!Loaded()) {
        std::vector<ToolLineRecord> fetched;
        const bool complete = FetchAll(fetched);
        std::lock_guard lock(mutex_);
        if (complete) {
            records_ = std::move(fetched);
            loaded_ = true;
        } else {
            // A broken answer is not taken as the member's whole list: the next reset asks
            // again. The tools that did arrive are still shown on this chart.
            for (const ToolLineRecord& r : fetched)
                if (SameChart(r, instrument, period)) out.push_back(r);
            return;
        }
    }
    std::lock_guard lock(mutex_);
    for (const ToolLineRecord& r : records_)
        if (SameChart(r, instrument, period)) out.push_back(r);
}

bool ToolStore::Save(const ToolLineRecord& tool) {
    if (!ByteRequest(cmd::StoreTool, tool)) return false;
    std::lock_guard lock(mutex_);
    records_.push_back(tool);
    return true;
}

bool ToolStore::Delete(int instrument, int period) {
    ToolLineRecord request{};
    request.instrument = instrument;
    request.period = period;
    if (!ByteRequest(cmd::DeleteTools, request)) return false;
    std::lock_guard lock(mutex_);
    std::erase_if(records_,
                  [&](const ToolLineRecord& r) { return SameChart(r, instrument, period); });
    return true;
}

bool ToolStore::Loaded() const {
    std::lock_guard lock(mutex_);
    return loaded_;
}

std::vector<ToolLineRecord> ToolStore::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

}  // namespace zq
