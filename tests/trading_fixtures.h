// Shared pieces of the trading tests: record builders, market records, edits of the model's
// lists, a reader of them on another thread, and a scripted account server that answers the
// list and account queries with bytes the test chooses and records which commands arrived on
// which connection.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/wire/framing.h"
#include "net/wire/request.h"
#include "tests/support/script_server.h"
#include "tests/support/wait_until.h"
#include "trading/model.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace zq::test {

inline InstrumentRecord MakeInstrument(std::int32_t id, std::int32_t decimals, float pointValue,
                                       float buySpread = 0, float sellSpread = 0) {
    InstrumentRecord i{};
    i.id = id;
    i.decimals = decimals;
    i.pointValue = pointValue;
    i.buySpread = buySpread;
    i.sellSpread = sellSpread;
    std::snprintf(i.name, sizeof i.name, "inst%d", id);
    return i;
}

// A tradable instrument with a name, in lots of 0.01 up to 50, with spreads 0.25 and 0.05.
inline InstrumentRecord TradableInstrument(std::int32_t id, const char* name,
                                           std::int32_t decimals) {
    InstrumentRecord r = MakeInstrument(id, decimals, 1, 0.25f, 0.05f);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.minLots = 0.01f;
    r.maxLots = 50;
    r.lotDecimals = 2;
    r.lotStep = 1;
    r.tradable = 1;
    return r;
}

inline PositionRecord MakePosition(std::int32_t instrument, std::int32_t dir, double open,
                                   double held, double stopLoss = 0, double takeProfit = 0,
                                   std::int32_t watched = 1, const char* ticket = "P1") {
    PositionRecord p{};
    std::snprintf(p.ticket, sizeof p.ticket, "%s", ticket);
    p.instrument = instrument;
    p.direction = dir;
    p.openPrice = open;
    p.heldQuantity = p.openedQuantity = held;
    p.stopLoss = stopLoss;
    p.takeProfit = takeProfit;
    p.watched = watched;
    return p;
}

inline PendingOrderRecord MakeOrder(std::int32_t instrument, std::int32_t dir, std::int32_t kind,
                                    double price, std::int32_t status = order_status::Waiting,
                                    const char* number = "D1") {
    PendingOrderRecord o{};
    std::snprintf(o.orderNumber, sizeof o.orderNumber, "%s", number);
    o.instrument = instrument;
    o.direction = dir;
    o.triggerKind = kind;
    o.price = price;
    o.quantity = 1;
    o.status = status;
    o.openClose = 1;
    return o;
}

// An account block with these funds and nothing else.
inline AccountBlock Funds(double freeFunds, double occupiedMargin, double netDeposits = 0) {
    AccountBlock a{};
    a.freeFunds = freeFunds;
    a.occupiedMargin = occupiedMargin;
    a.netDeposits = netDeposits;
    return a;
}

// A market record of an instrument's close at its decimals, the time text "1030", the rest 0.
struct Quote {
    BarRecord record{};
    Quote(std::int32_t instrument, std::int32_t close, std::int32_t decimals = 2) {
        record.instrument = instrument;
        record.close = close;
        record.decimals = decimals;
        std::memcpy(record.time, "1030", 5);
    }
    const BarRecord* data() const { return &record; }
    const BarRecord& Record() const { return record; }
};

// A copy of one of the model's lists (or of its account block) changed by `edit` and put back
// whole, as a load puts a list.
template <auto Get, auto Set>
struct ModelEdit {
    template <typename F>
    void operator()(TradingModel& model, F&& edit) const {
        auto copy = (model.*Get)();
        edit(copy);
        (model.*Set)(std::move(copy));
    }
};
inline constexpr ModelEdit<&TradingModel::Instruments, &TradingModel::SetInstruments>
    EditInstruments{};
inline constexpr ModelEdit<&TradingModel::Positions, &TradingModel::SetPositions> EditPositions{};
inline constexpr ModelEdit<&TradingModel::Orders, &TradingModel::SetOrders> EditOrders{};
inline constexpr ModelEdit<&TradingModel::Summary, &TradingModel::SetSummary> EditSummary{};
inline constexpr ModelEdit<&TradingModel::Account, &TradingModel::SetAccount> EditAccount{};

// Reads every list of the model and its account block, each under its lock.
inline void ReadAllLists(const TradingModel& model) {
    model.Instruments();
    model.Positions();
    model.Orders();
    model.Summary();
    model.Account();
}

// Runs `read` (reads of the model) on a thread of its own, so that a test can tell whether a
// lock is free without taking it on a thread that may hold it.
class ReaderThread {
  public:
    explicit ReaderThread(std::function<void()> read)
        : thread_([this, read = std::move(read)] {
              read();
              done_ = true;
          }) {}
    ~ReaderThread() { thread_.join(); }
    // True once the reads are done; false while they still wait for a lock after `limit` (a
    // bound against hanging, not a measurement).
    bool GotThrough(std::chrono::milliseconds limit = std::chrono::seconds(2)) {
        return WaitUntil([this] { return done_.load(); }, limit);
    }

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

inline std::string Int32Bytes(std::int32_t v) {
    return std::string(reinterpret_cast<char*>(&v), 4);
}

// A counted list answer: the count, then the records; `cut` bytes are left off the end.
template <typename Record>
std::string ListAnswer(std::int32_t count, const std::vector<Record>& records,
                       std::size_t cut = 0) {
    std::string bytes = Int32Bytes(count);
    bytes.append(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(Record));
    bytes.resize(bytes.size() - cut);
    return bytes;
}

// Answers requests on the request port from a table: for each command the bytes to send and
// whether to close the connection afterwards. A command without an entry is met by closing.
class AccountServer {
  public:
    struct Answer {
        std::string bytes;
        bool closeAfter = false;
        int pauseMsPerRecord = 0;  // send the list a record at a time
        std::size_t recordSize = 0;
    };

    AccountServer() : server_([this](Socket& peer, int index) { Serve(peer, index); }) {
        server_.UseAsRequestPort();
        Set(cmd::LoadInstruments, Int32Bytes(0));
        Set(cmd::LoadSummary, Int32Bytes(0));
        Set(cmd::LoadPositions, Int32Bytes(0));
        Set(cmd::LoadPending, Int32Bytes(0));
        Set(cmd::LoadAccount, std::string(sizeof(AccountBlock), '\0'));
        Set(cmd::LoadTradingHours, Int32Bytes(930));
    }

    void Set(std::int32_t command, std::string bytes, bool closeAfter = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[command] = {std::move(bytes), closeAfter};
    }
    void SetSlowList(std::int32_t command, std::string bytes, std::size_t recordSize, int pauseMs) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[command] = {std::move(bytes), false, pauseMs, recordSize};
    }
    void Remove(std::int32_t command) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.erase(command);
    }
    void SetAccount(const AccountBlock& a) {
        Set(cmd::LoadAccount, std::string(reinterpret_cast<const char*>(&a), sizeof a));
    }
    template <typename Record>
    void SetList(std::int32_t command, const std::vector<Record>& records) {
        Set(command, ListAnswer(static_cast<std::int32_t>(records.size()), records));
    }

    // The commands of each connection, in order of arrival.
    std::vector<std::vector<std::int32_t>> Connections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    // Every command of every connection, in order.
    std::vector<std::int32_t> Commands() const {
        std::vector<std::int32_t> all;
        for (const auto& c : Connections()) all.insert(all.end(), c.begin(), c.end());
        return all;
    }
    std::map<std::int32_t, std::string> Payloads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return payloads_;
    }
    std::vector<RequestHeader> Headers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return headers_;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.clear();
        payloads_.clear();
        headers_.clear();
    }

  private:
    static std::size_t PayloadSize(std::int32_t command) {
        if (command == cmd::LoadPositions) return sizeof(LoadPositionsRequest);
        if (command == cmd::LoadPending) return sizeof(LoadOrdersRequest);
        // The trade changes, so that a reload may follow them on the same connection.
        if (command == cmd::ModifyPosition) return sizeof(ModifyStopsRequest);
        if (command == cmd::ModifyPending || command == cmd::ClosePosition)
            return sizeof(PendingOrderRecord);
        if (command == cmd::DeletePending) return kDeleteOrderRequestSize;
        if (command == cmd::SaveProgramTrading) return sizeof(ProgramTradingRequest);
        return 0;
    }

    void Serve(Socket& peer, int) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.emplace_back();
        }
        RequestHeader h{};
        while (ScriptServer::ReadHeader(peer, h)) {
            std::string payload(PayloadSize(h.command), '\0');
            if (!payload.empty() &&
                ReceiveExact(peer, payload.data(), static_cast<int>(payload.size())) !=
                    static_cast<int>(payload.size()))
                return;
            Answer a;
            bool known;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connections_.back().push_back(h.command);
                payloads_[h.command] = payload;
                headers_.push_back(h);
                auto it = answers_.find(h.command);
                known = it != answers_.end();
                if (known) a = it->second;
            }
            if (!known) return;
            if (a.pauseMsPerRecord > 0) {
                peer.Send(a.bytes.data(), 4);
                for (std::size_t at = 4; at < a.bytes.size(); at += a.recordSize) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(a.pauseMsPerRecord));
                    peer.Send(a.bytes.data() + at, std::min(a.recordSize, a.bytes.size() - at));
                }
            } else if (!a.bytes.empty()) {
                peer.Send(a.bytes.data(), a.bytes.size());
            }
            if (a.closeAfter) return;
        }
    }

    mutable std::mutex mutex_;
    std::map<std::int32_t, Answer> answers_;
    std::vector<std::vector<std::int32_t>> connections_;
    std::map<std::int32_t, std::string> payloads_;
    std::vector<RequestHeader> headers_;
    ScriptServer server_;  // last: its thread stops before the tables go
};

}  // namespace zq::test
