#include "tests/support/client_e2e.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "app/ui/child_view.h"
#include "net/wire/session.h"
#include "trading/ui/open_order.h"
#include "widgets/command_ids.h"

namespace zq::test {

void ClientEndToEnd::SetUp() {
    ASSERT_TRUE(server_.Running()) << server_.Error();
    env_ = std::make_unique<ClientEnvironment>(server_);
    BeforeStart();
    LogInWhenTheDialogShows(Member(), Member(), kCode);
    app_ = std::make_unique<CTQDiraveApp>(QStringLiteral("zq-e2e-%1").arg(::getpid()));
    ASSERT_TRUE(app_->InitInstance());
    frame_ = app_->MainFrame();
    model_ = app_->Model();
    // The push link is up once the first market records have priced the instruments.
    ASSERT_TRUE(ServeUntil(
        [&] {
            return frame_->View()->Links().HistoryLoaded() && model_->FindInstrument(1).ask > 0;
        },
        kWaitMs));
}

void ClientEndToEnd::TearDown() {
    Session().programTrading = 0;
    app_.reset();
    env_.reset();
}

std::string ClientEndToEnd::Control(const std::string& line) {
    return ControlCommand(server_.controlPort(), line);
}

bool ClientEndToEnd::MoveGold(double last) {
    char line[48];
    std::snprintf(line, sizeof line, "price 1 %.2f", last);
    const std::string answer = Control(line);
    EXPECT_EQ(answer.rfind("ok", 0), 0u) << line << ": " << answer;
    if (answer.rfind("ok", 0) != 0) return false;
    return ServeUntil(
        [&] {
            return std::abs(model_->FindInstrument(1).last - static_cast<float>(last)) < 0.001f;
        },
        kWaitMs);
}

bool ClientEndToEnd::Logged(const std::vector<int>& codes) {
    return ServeUntil(
        [&] {
            for (const auto& line : RequestLines(server_.Log()))
                if (line == codes) return true;
            return false;
        },
        kWaitMs);
}

std::optional<PositionRecord> ClientEndToEnd::BuyAtMarket() {
    const std::size_t before = model_->Positions().size();
    WhenDialogShows<COpenOrder>([](COpenOrder& d) { d.Submit(direction::Buy); });
    frame_->OnCommand(cmdid::NewMarketOrder);
    const std::vector<PositionRecord> after = model_->Positions();
    EXPECT_EQ(after.size(), before + 1) << testing::PrintToString(ui_.BoxTexts());
    if (after.size() != before + 1) return std::nullopt;
    return after.back();
}

}  // namespace zq::test
