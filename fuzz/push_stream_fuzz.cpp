// The push link's item stream: market records into the quote update and the chart, signals,
// instant messages, keep-alives, discarded blocks and log-out orders.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "market/bar_series.h"
#include "net/push_link.h"
#include "trading/model.h"

namespace {

zq::TradingModel& Model() {
    static zq::TradingModel* model = [] {
        auto* m = new zq::TradingModel;  // for the life of the process
        zq::InstrumentRecord gold{};
        gold.id = 1;
        gold.decimals = 2;
        gold.pointValue = 100;
        m->SetInstruments({gold});
        return m;
    }();
    return *model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zq::fuzz::NoRequestServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zq::fuzz::FedStream stream(data, size);
    if (!stream.Valid()) return 0;
    auto chart = std::make_shared<zq::KLineData>();
    chart->Reset(1, 15);
    chart->SetClientSize(800, 500);
    bool loaded = false;
    zq::PushHandlers handlers;
    handlers.marketRecord = [&](const zq::BarRecord& r) {
        Model().QuoteUpdate(r);
        zq::FeedChart(*chart, r, loaded);
        loaded = !loaded;  // both halves of the chart's intake
    };
    handlers.instantMessage = [](const std::string&, std::int32_t) {};
    handlers.logout = [](unsigned) {};
    auto link = std::make_shared<zq::PushLink>(handlers, nullptr);
    link->PushLinkReader(std::make_shared<zq::LinkSocket>(stream.TakeReader()));
    chart->Layout();
    return 0;
}
