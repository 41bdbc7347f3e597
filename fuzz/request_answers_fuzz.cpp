// The answers on a request connection, read in the order the client asks: the start-up load
// (54, 1, 8, 56, 44), the trading refresh (20, 16, 21, 17), the signal flags and the one-byte
// and int32 answers. Each step reads whatever the stream has left.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "net/signal_feed.h"
#include "net/wire/request.h"
#include "reports/alerts.h"
#include "reports/message_store.h"
#include "trading/model.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zq::fuzz::NoRequestServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zq::fuzz::FedStream stream(data, size);
    if (!stream.Valid()) return 0;
    zq::Socket& s = stream.Reader();

    zq::TradingModel model;
    zq::LoadTradingHours(s);
    model.LoadInstruments(s);
    zq::AlertList<zq::PriceAlertRecord> prices;
    zq::AlertList<zq::ProfitAlertRecord> profits;
    zq::LoadPriceAlerts(s, prices);
    zq::LoadProfitAlerts(s, profits);
    zq::MessageStore messages;
    messages.Load(s);

    model.InitialLoad(s);
    zq::LoadSignalFlags(s);
    zq::ReadByteAnswer(s);
    zq::ReadInt32Answer(s);
    // Whatever the lists hold must be usable: a quote for every instrument loaded.
    for (const zq::InstrumentRecord& i : model.Instruments()) {
        zq::BarRecord r{};
        r.instrument = i.id;
        r.open = r.close = r.high = r.low = 100000;
        r.decimals = i.decimals;
        model.QuoteUpdate(r);
    }
    return 0;
}
