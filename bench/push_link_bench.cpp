// The push link under load: the stand-in server, started in this process through its own
// classes, queues live bars on its push feed at a given rate; its push writer sends them on
// loopback to the client's push reader, which runs each record through the trading model's
// quote update (42 instruments, 100 positions and 100 waiting orders, one tick listener) and
// into a chart of 1,000 bars laid out on 1920 x 1080, wired like the chart window: a repaint
// request is a posted WM_CHART_INVALIDATE, counted by this program's own UI bridge together with
// the WM_QUOTE_TICK sends.
//
// Every record carries its sequence number (from 1) in its first word, which neither the model nor
// the chart reads; the moment the feed queued it (just before the writer sends it) is kept beside,
// by sequence. Two cases:
//   BM_PushLinkThroughput/<rate>: records offered at `rate` per second for two seconds. Figure:
//     the time to the last record taken in; counters: records per second taken in, the backlog
//     (queued but not yet taken in) when the offer ends and at its largest, and the repaint
//     requests and quote-tick sends per record.
//   BM_PushLinkLatency/<rate>: records at `rate` per second; counters: median and 99th
//     percentile of the time from the feed to the chart's repaint request.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/ui_bridge.h"
#include "bench/bench_support.h"
#include "bench/trading_support.h"
#include "market/bar_series.h"
#include "net/push_link.h"
#include "net/wire/session.h"
#include "server/server.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace {

using namespace zq;
using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// What the reader thread's notifications reach: every window exists; the chart's repaint
// requests and the quote ticks are counted, and each repaint request closes the latency of the
// record being taken in.
class CountingWindows final : public UiBridge {
  public:
    int MessageBox(WindowHandle, const std::string&, const std::string&, MsgButtons,
                   MsgIcon) override {
        return IdOk;
    }
    std::intptr_t Send(WindowHandle, unsigned msg, std::intptr_t, std::intptr_t) override {
        if (msg == WM_QUOTE_TICK) ticks.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    void Post(WindowHandle, unsigned msg, std::intptr_t, std::intptr_t) override {
        if (msg != WM_CHART_INVALIDATE) return;
        repaints.fetch_add(1, std::memory_order_relaxed);
        if (onRepaint) onRepaint();
    }
    bool IsWindow(WindowHandle) override { return true; }
    void PlaySound(int, bool) override {}
    void StopSounds() override {}

    std::atomic<long> ticks{0}, repaints{0};
    std::function<void()> onRepaint;  // on the reader thread
};

constexpr int kChartBars = 1000;
constexpr int kPrice = 200000;

// The live bar of instrument 1 with sequence `seq`, inside the chart's visible price range.
BarRecord LiveBar(std::int32_t seq) {
    BarRecord r = bench::Bar(0, kPrice);
    r.word0 = seq + 1;  // 0 is any other record
    r.close = kPrice + seq % 7 - 3;
    std::snprintf(r.time, sizeof r.time, "10:30");
    return r;
}

// The server, one client's push link into a model and a chart, and the side table of queue
// times by sequence.
class Rig {
  public:
    explicit Rig(std::size_t records) : dir_("zq-push-bench-"), queued_(records) {
        server::ServerOptions o;
        o.requestPort = o.pushPort = o.dataPort = 0;
        o.dbPath = (dir_.path / "server.db").string();
        o.seed = 7;
        o.marketStep = std::chrono::milliseconds(0);  // only this program's records go out
        o.autoSignals = false;
        o.tradingHours = server::HoursMode::Always;
        server_ = std::make_unique<server::Server>(o);
        std::string error;
        if (!server_->Start(&error)) {
            error_ = "server: " + error;
            return;
        }
        const server::Key key = {11, 22, 33, 44};
        server::SessionInfo session;
        session.key = key;
        session.memberId = 1;
        session.memberName = "bench";
        session.started = std::chrono::system_clock::now();
        server_->State().sessions.Begin(session);
        for (int k = 0; k < 4; ++k) Session().sessionKey[k] = key[static_cast<std::size_t>(k)];

        SetUi(&ui_);
        model_.SetMainView(&view_);
        model_.RegisterTickListener(&listener_);
        bench::FillTradingModel(model_, 100);
        model_.SetDebugSink([](std::string_view) {});

        chart_.Reset(1, 15);
        const std::uint64_t generation = chart_.Generation();
        std::vector<BarRecord> bars;
        for (int i = 0; i < kChartBars; ++i) bars.push_back(bench::Bar(kChartBars - i, kPrice));
        chart_.AppendHistoryBars(bars.data(), bars.size(), generation);
        chart_.MergeHistory(generation);
        chart_.SetClientSize(1920, 1080);
        chart_.Layout();
        // As the chart window wires them: from the reader's thread a repaint is a posted message.
        chart_.hooks.invalidateAll = [this] {
            Ui().Post(&chartWindow_, WM_CHART_INVALIDATE, 0, 0);
        };
        chart_.hooks.invalidateBand = [this](const PixelRect&) {
            Ui().Post(&chartWindow_, WM_CHART_INVALIDATE, 1, 1);
        };
        ui_.onRepaint = [this] {
            const std::int64_t q = queued_[static_cast<std::size_t>(current_)].load();
            if (q > 0) latencies_.push_back(NowNs() - q);
        };
        latencies_.reserve(records);

        // The application's push handler: the quote update, then the chart.
        PushHandlers handlers;
        handlers.marketRecord = [this](const BarRecord& r) {
            // Only this program's records: not the live bars the feed queues on subscribing.
            if (r.word0 < 1 || static_cast<std::size_t>(r.word0) > queued_.size()) return;
            current_ = r.word0 - 1;
            model_.QuoteUpdate(r);
            FeedChart(chart_, r, true);
            taken_.fetch_add(1, std::memory_order_release);
            lastTaken_.store(NowNs(), std::memory_order_relaxed);
        };
        link_ = std::make_shared<PushLink>(std::move(handlers), gate_);
        if (!link_->Connect(htonl(INADDR_LOOPBACK), server_->PushPort())) {
            error_ = "push link did not connect";
            return;
        }
        // Attached once the feed lists the link.
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (server_->State().push.LinkCount() == 0 && Clock::now() < until)
            std::this_thread::yield();
        if (server_->State().push.LinkCount() == 0) error_ = "push link not attached";
    }

    ~Rig() {
        if (link_) link_->Close();
        gate_->Close();  // no handler runs after this
        if (server_) server_->Stop();
        SetUi(nullptr);
    }

    const std::string& Error() const { return error_; }

    // Queues record `seq` on the feed, as a market tick does, with its queue time.
    void Publish(std::int32_t seq) {
        server::BarUpdate update;
        update.instrument = 1;
        update.live.fill(LiveBar(seq));
        queued_[static_cast<std::size_t>(seq)].store(NowNs());
        server_->State().push.OnBars(update);
        ++published_;
    }
    long Published() const { return published_; }

    long Taken() const { return taken_.load(std::memory_order_acquire); }
    std::int64_t LastTakenNs() const { return lastTaken_.load(); }
    bool Attached() const { return server_->State().push.LinkCount() == 1; }
    const CountingWindows& Windows() const { return ui_; }
    std::vector<std::int64_t>& Latencies() { return latencies_; }

    // Waits until `count` records are in or the link is gone; whether they all came.
    bool WaitFor(long count) {
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (Taken() < count && Attached() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return Taken() >= count;
    }

  private:
    bench::TempDir dir_;
    std::unique_ptr<server::Server> server_;
    std::string error_;
    CountingWindows ui_;
    TradingModel model_;
    KLineData chart_;
    int view_ = 0, listener_ = 0, chartWindow_ = 0;
    std::shared_ptr<LinkGate> gate_ = std::make_shared<LinkGate>();
    std::shared_ptr<PushLink> link_;
    std::vector<std::atomic<std::int64_t>> queued_;
    std::int32_t current_ = 0;             // reader thread
    std::vector<std::int64_t> latencies_;  // reader thread until the records are in
    long published_ = 0;                   // the offering thread
    std::atomic<long> taken_{0};
    std::atomic<std::int64_t> lastTaken_{0};
};

// Offers `total` records at `rate` per second, in bursts of one millisecond's worth; calls
// `sample` after every burst. Returns when the last one is queued.
template <typename Sample>
void Offer(Rig& rig, long total, long rate, Sample&& sample) {
    const auto start = Clock::now();
    long sent = 0;
    for (long ms = 1; sent < total; ++ms) {
        const long due = std::min(total, rate * ms / 1000);
        for (; sent < due; ++sent) rig.Publish(static_cast<std::int32_t>(sent));
        sample();
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
    }
}

void BM_PushLinkThroughput(benchmark::State& state) {
    const long rate = state.range(0);
    const long total = rate * 2;
    for (auto _ : state) {
        Rig rig(static_cast<std::size_t>(total));
        if (!rig.Error().empty()) return state.SkipWithError(rig.Error().c_str());
        long peak = 0;
        const std::int64_t t0 = NowNs();
        Offer(rig, total, rate, [&] { peak = std::max(peak, rig.Published() - rig.Taken()); });
        const long backlog = total - rig.Taken();
        const std::int64_t offerEnd = NowNs();
        if (!rig.WaitFor(total)) return state.SkipWithError("records lost (link dropped?)");
        const double seconds = static_cast<double>(rig.LastTakenNs() - t0) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["taken_per_second"] = static_cast<double>(total) / seconds;
        state.counters["offer_seconds"] = static_cast<double>(offerEnd - t0) / 1e9;
        state.counters["backlog_at_end"] = static_cast<double>(backlog);
        state.counters["backlog_peak"] = static_cast<double>(peak);
        state.counters["repaints_per_record"] =
            static_cast<double>(rig.Windows().repaints.load()) / static_cast<double>(total);
        state.counters["ticks_per_record"] =
            static_cast<double>(rig.Windows().ticks.load()) / static_cast<double>(total);
    }
}
BENCHMARK(BM_PushLinkThroughput)
    ->Arg(50000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double PercentileMs(std::vector<std::int64_t>& v, double q) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]) / 1e6;
}

void BM_PushLinkLatency(benchmark::State& state) {
    const long rate = state.range(0);
    const long total = rate * 3;
    for (auto _ : state) {
        Rig rig(static_cast<std::size_t>(total));
        if (!rig.Error().empty()) return state.SkipWithError(rig.Error().c_str());
        const std::int64_t t0 = NowNs();
        Offer(rig, total, rate, [] {});
        if (!rig.WaitFor(total)) return state.SkipWithError("records lost (link dropped?)");
        state.SetIterationTime(static_cast<double>(rig.LastTakenNs() - t0) / 1e9);
        std::vector<std::int64_t>& l = rig.Latencies();
        state.counters["repaint_requests"] = static_cast<double>(l.size());
        state.counters["latency_median_ms"] = PercentileMs(l, 0.5);
        state.counters["latency_p99_ms"] = PercentileMs(l, 0.99);
    }
}
BENCHMARK(BM_PushLinkLatency)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
