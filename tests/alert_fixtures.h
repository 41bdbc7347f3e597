// Shared pieces of the alert tests: alert records, instruments with real names, and a scripted
// request port that keeps every request (header command and payload) and answers each command
// with the bytes the test chose.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/signal_feed.h"
#include "net/wire/ansi_text.h"
#include "net/wire/framing.h"
#include "reports/wire/alert_records.h"
#include "tests/support/script_server.h"
#include "trading/wire/records.h"

namespace zq::test {

inline PriceAlertRecord PriceAlert(std::int32_t id, std::int32_t instrument, std::int32_t condition,
                                   double target) {
    PriceAlertRecord r{};
    r.id = id;
    r.instrument = instrument;
    r.condition = condition;
    r.target = target;
    // Bytes the client does not read, to see them carried unchanged.
    std::memset(r.unused4, 0x5A, sizeof r.unused4);
    r.mode = 1;
    r.unused36 = 77;
    return r;
}

inline ProfitAlertRecord ProfitAlert(std::int32_t id, std::int32_t condition, double target) {
    ProfitAlertRecord r{};
    std::memcpy(r.unused0, &id, 4);
    r.unused0[4] = 1;
    r.condition = condition;
    for (std::size_t i = 0; i < sizeof r.unused12; ++i)
        r.unused12[i] = static_cast<std::uint8_t>(i + 1);
    r.target = target;
    return r;
}

inline InstrumentRecord NamedInstrument(std::int32_t id, const char* utf8Name,
                                        std::int32_t decimals) {
    InstrumentRecord i{};
    i.id = id;
    i.decimals = decimals;
    PutField(i.name, sizeof i.name, ToAnsi(utf8Name));
    return i;
}

template <typename Record>
std::string Bytes(const Record& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

// The request port of the alert commands (9, 10, 58) and the flag save (41).
class AlertServer {
  public:
    struct Request {
        std::int32_t command;
        std::string payload;
    };
    // Runs on the server's thread when a request has arrived, before it is answered.
    using OnRequest = std::function<void(const Request&)>;

    AlertServer() : server_([this](Socket& peer, int) { Serve(peer); }) {
        server_.UseAsRequestPort();
    }

    void Answer(std::int32_t command, std::string bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[command] = std::move(bytes);
    }
    void SetOnRequest(OnRequest f) {
        std::lock_guard<std::mutex> lock(mutex_);
        onRequest_ = std::move(f);
    }
    std::vector<Request> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<Request> RequestsOf(std::int32_t command) const {
        std::vector<Request> out;
        for (const Request& r : Requests())
            if (r.command == command) out.push_back(r);
        return out;
    }
    int Connections() const { return server_.Connections(); }

  private:
    static std::size_t PayloadSize(std::int32_t command) {
        switch (command) {
            case cmd::SavePriceAlert:
            case cmd::RemovePriceAlert:
                return sizeof(PriceAlertRecord);
            case cmd::UpdateProfitAlert:
                return sizeof(ProfitAlertRecord);
            case cmd::SaveSignalFlags:
                return kSignalFlagCount;
            default:
                return 0;
        }
    }

    void Serve(Socket& peer) {
        RequestHeader h{};
        if (!ScriptServer::ReadHeader(peer, h)) return;
        Request r{h.command, std::string(PayloadSize(h.command), '\0')};
        if (!r.payload.empty() &&
            ReceiveExact(peer, r.payload.data(), static_cast<int>(r.payload.size())) !=
                static_cast<int>(r.payload.size()))
            return;
        std::string answer;
        OnRequest onRequest;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(r);
            answer = answers_[h.command];
            onRequest = onRequest_;
        }
        if (onRequest) onRequest(r);
        if (!answer.empty()) peer.Send(answer.data(), answer.size());
    }

    mutable std::mutex mutex_;
    std::map<std::int32_t, std::string> answers_;
    std::vector<Request> requests_;
    OnRequest onRequest_;
    ScriptServer server_;  // last: its thread stops first
};

}  // namespace zq::test
