// One member's requests to the running server on one request connection, as the client sends
// them: the orders and trade changes, the lists, alerts and signal flags.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "market/wire/tool_record.h"
#include "net/wire/framing.h"
#include "reports/wire/alert_records.h"
#include "reports/wire/fill_records.h"
#include "tests/order_request_builders.h"
#include "tests/support/server_process.h"
#include "trading/wire/order_requests.h"
#include "trading/wire/records.h"

namespace zq::test {

class MemberLink {
  public:
    using Key = std::array<std::int32_t, 4>;

    MemberLink(std::uint16_t port, Key key) : socket_(ConnectLocal(port)), key_(key) {}

    // Sends the request and reads an answer of `size` bytes into `answer`; a failure is added
    // to the test.
    void Exchange(std::int32_t command, const void* payload, std::size_t size, void* answer,
                  std::size_t answerSize) {
        RequestHeader h = Header(command, key_);
        if (socket_.Send(&h, sizeof h) != static_cast<int>(sizeof h) ||
            (size && socket_.Send(payload, size) != static_cast<int>(size)) ||
            ReceiveExact(socket_, answer, static_cast<int>(answerSize)) !=
                static_cast<int>(answerSize))
            ADD_FAILURE() << "no whole answer to command " << command;
    }
    template <typename Answer>
    Answer Ask(std::int32_t command, const void* payload, std::size_t size) {
        Answer a{};
        Exchange(command, payload, size, &a, sizeof a);
        return a;
    }
    template <typename Answer, typename Payload>
    Answer Ask(std::int32_t command, const Payload& payload) {
        return Ask<Answer>(command, &payload, sizeof payload);
    }
    // A counted list; `payload` of `size` bytes (none for 0).
    template <typename Record>
    std::vector<Record> ListOf(std::int32_t command, const void* payload, std::size_t size) {
        const auto count = Ask<std::int32_t>(command, payload, size);
        std::vector<Record> out(static_cast<std::size_t>(std::clamp(count, 0, 100000)));
        for (Record& r : out) ReceiveExact(socket_, &r, sizeof r);
        return out;
    }
    template <typename Record, typename Filter>
    std::vector<Record> List(std::int32_t command, const Filter& filter) {
        return ListOf<Record>(command, &filter, sizeof filter);
    }
    std::vector<PositionRecord> Positions(const LoadPositionsRequest& filter = {}) {
        return List<PositionRecord>(cmd::LoadPositions, filter);
    }
    std::vector<PendingOrderRecord> Orders(std::int32_t status = 1) {
        LoadOrdersRequest r{};
        r.selector = status;
        return List<PendingOrderRecord>(cmd::LoadPending, r);
    }
    std::int32_t Open(const OpenOrderRequest& r) { return Ask<std::int32_t>(cmd::OpenOrder, r); }
    PositionRecord Stops(const char* ticket, float stopLoss, float takeProfit) {
        return Ask<PositionRecord>(cmd::ModifyPosition, StopsRequest(ticket, stopLoss, takeProfit));
    }
    std::int32_t Close(const PositionRecord& p, double lots, double price, double deviation) {
        return Ask<std::int32_t>(
            cmd::ClosePosition,
            CloseRequest(p.instrument, p.direction, p.ticket, lots, price, deviation));
    }
    std::int32_t Change(PendingOrderRecord o, double lots, double price) {
        o.quantity = lots;
        o.price = price;
        return Ask<std::int32_t>(cmd::ModifyPending, o);
    }
    std::int32_t Delete(const PendingOrderRecord& o) {
        return Ask<std::int32_t>(cmd::DeletePending, &o, kDeleteOrderRequestSize);
    }
    std::uint8_t ProgramTrading(std::int32_t enabled) {
        ProgramTradingRequest r{};
        r.riskLimit1 = r.riskLimit2 = 30;
        r.enabled = enabled;
        return Ask<std::uint8_t>(cmd::SaveProgramTrading, r);
    }

    std::vector<PriceAlertRecord> PriceAlerts() {
        return ListOf<PriceAlertRecord>(cmd::LoadPriceAlerts, nullptr, 0);
    }
    std::vector<ProfitAlertRecord> ProfitAlerts() {
        return ListOf<ProfitAlertRecord>(cmd::LoadProfitAlerts, nullptr, 0);
    }
    PriceAlertRecord SavePriceAlert(std::int32_t instrument, std::int32_t condition,
                                    double target) {
        PriceAlertRecord r{};
        r.instrument = instrument;
        r.condition = condition;
        r.target = target;
        return Ask<PriceAlertRecord>(cmd::SavePriceAlert, r);
    }
    // 10 with the user's deletion mark; the byte answer.
    std::uint8_t RemovePriceAlert(PriceAlertRecord r) {
        r.mode = 2;
        return Ask<std::uint8_t>(cmd::RemovePriceAlert, r);
    }
    std::int32_t FireProfitAlert(const ProfitAlertRecord& r) {
        return Ask<std::int32_t>(cmd::UpdateProfitAlert, r);
    }
    std::array<std::uint8_t, 50> SignalFlags() {
        return Ask<std::array<std::uint8_t, 50>>(cmd::LoadSignalFlags, nullptr, 0);
    }
    std::uint8_t SaveSignalFlags(const std::array<std::uint8_t, 50>& flags) {
        return Ask<std::uint8_t>(cmd::SaveSignalFlags, flags);
    }

    // 45, 46 and 47: the byte answers, the stored tools.
    std::uint8_t StoreTool(const ToolLineRecord& r) { return Ask<std::uint8_t>(cmd::StoreTool, r); }
    std::vector<ToolLineRecord> Tools() {
        return ListOf<ToolLineRecord>(cmd::LoadTools, nullptr, 0);
    }
    // The record of a delete as the chart sends it: instrument and period, all else zero.
    std::uint8_t DeleteTools(std::int32_t instrument, std::int32_t period) {
        ToolLineRecord r{};
        r.instrument = instrument;
        r.period = period;
        return Ask<std::uint8_t>(cmd::DeleteTools, r);
    }
    // 19: the fills and the period figures after them.
    struct FillAnswer {
        std::vector<FillRecord> records;
        FillSummary summary{};
    };
    FillAnswer Fills(const FillQuery& q) {
        FillAnswer a;
        a.records = List<FillRecord>(cmd::LoadFills, q);
        if (ReceiveExact(socket_, &a.summary, sizeof a.summary) !=
            static_cast<int>(sizeof a.summary))
            ADD_FAILURE() << "no whole fill summary";
        return a;
    }

    Socket& socket() { return socket_; }

  private:
    Socket socket_;
    Key key_;
};

}  // namespace zq::test
