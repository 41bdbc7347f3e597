// The tick listener list under a quote update: every live window hears the record in list
// order, windows that are gone leave the list, and windows that register while the
// notifications go out stay; with few listeners and with more than fit the quick path.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/fake_ui.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::MakeInstrument;
using test::Quote;

class TickListenersTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        ui.SetLive(view);
        model.SetMainView(view);
        model.SetInstruments({MakeInstrument(1, 2, 1.0f, 0.5f, 0.5f)});
        model.SetDebugSink([](std::string_view) {});
        windows.resize(static_cast<std::size_t>(GetParam()));
        for (int& w : windows) {
            ui.SetLive(&w);
            model.RegisterTickListener(&w);
        }
    }

    // The windows that got WM_QUOTE_TICK, in order.
    std::vector<WindowHandle> Ticked() const {
        std::vector<WindowHandle> out;
        for (const auto& m : ui.Sends())
            if (m.msg == WM_QUOTE_TICK) out.push_back(m.target);
        return out;
    }

    FakeUi ui;
    TradingModel model;
    int viewObject = 0;
    WindowHandle view = &viewObject;
    std::vector<int> windows;
};

TEST_P(TickListenersTest, EveryLiveWindowHearsTheRecordInOrderAndGoneOnesLeave) {
    std::vector<WindowHandle> expected;
    for (std::size_t k = 0; k < windows.size(); ++k) {
        if (k % 3 == 1) {
            ui.SetLive(&windows[k], false);
        } else {
            expected.push_back(&windows[k]);
        }
    }
    const Quote q(1, 165050);
    model.QuoteUpdate(q.Record());

    EXPECT_EQ(Ticked(), expected);
    for (const auto& m : ui.Sends()) {
        ASSERT_EQ(m.msg, WM_QUOTE_TICK);  // nothing was due: no reload notifications
        EXPECT_NE(m.lparam, 0);
    }
    EXPECT_EQ(model.TickListeners(), expected);

    // The next record goes to the same windows, and only once to each.
    ui.Clear();
    model.QuoteUpdate(q.Record());
    EXPECT_EQ(Ticked(), expected);
}

TEST_P(TickListenersTest, WindowsRegisteredDuringTheNotificationsStay) {
    ASSERT_FALSE(windows.empty());
    ui.SetLive(&windows.front(), false);  // this one goes
    int late = 0;
    ui.SetLive(&late);
    bool registered = false;
    ui.OnSend([&](WindowHandle, unsigned, std::intptr_t, std::intptr_t) {
        if (!registered) model.RegisterTickListener(&late);
        registered = true;
        return std::intptr_t{0};
    });
    model.QuoteUpdate(Quote(1, 165050).Record());

    std::vector<WindowHandle> listeners = model.TickListeners();
    EXPECT_EQ(std::count(listeners.begin(), listeners.end(), &late), 1);
    EXPECT_EQ(std::count(listeners.begin(), listeners.end(), &windows.front()), 0);
    EXPECT_EQ(listeners.size(), windows.size());  // one gone, one come
    // The late window was not in the list when the record went out.
    const std::vector<WindowHandle> ticked = Ticked();
    EXPECT_EQ(std::count(ticked.begin(), ticked.end(), &late), 0);
}

TEST_P(TickListenersTest, ReloadNotificationsPrecedeTheTickForEachWindow) {
    model.NotifyTickListeners(true, true, Quote(1, 165050).data());
    const auto sends = ui.Sends();
    ASSERT_EQ(sends.size(), 3 * windows.size());
    for (std::size_t k = 0; k < windows.size(); ++k) {
        EXPECT_EQ(sends[3 * k].msg, WM_POSITIONS_CHANGED);
        EXPECT_EQ(sends[3 * k + 1].msg, WM_ORDERS_CHANGED);
        EXPECT_EQ(sends[3 * k + 2].msg, WM_QUOTE_TICK);
        for (int m = 0; m < 3; ++m) EXPECT_EQ(sends[3 * k + m].target, &windows[k]);
    }
}

// A handful of windows, exactly as many as the quick path holds, one more, and many more.
INSTANTIATE_TEST_SUITE_P(Counts, TickListenersTest, ::testing::Values(3, 16, 17, 40));

}  // namespace
}  // namespace zq
