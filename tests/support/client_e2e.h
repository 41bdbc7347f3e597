// The fixture of the end-to-end tests that need a logged-in client: a stand-in server with a
// control port and a still market, the client's environment pointed at it, the real login
// through the dialog, and the whole program up until the chart has its history and the push
// link has priced gold.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/app.h"
#include "app/ui/main_frame.h"
#include "tests/support/app_driver.h"
#include "trading/model.h"

namespace zq::test {

class ClientEndToEnd : public ::testing::Test {
  protected:
    static constexpr const char* kCode = "AB12";
    // Waits of these tests: generous, the machine may be busy.
    static constexpr int kWaitMs = 30000;

    // The member the client logs in as; the password is the same.
    virtual const char* Member() const { return "demo"; }

    void SetUp() override;
    void TearDown() override;
    // After the client's environment points at the server, before the program starts: a
    // fixture may point a port elsewhere.
    virtual void BeforeStart() {}

    // One line on the server's control port and its answer.
    std::string Control(const std::string& line);
    // Sets gold's price on the server and waits until the client has it.
    [[nodiscard]] bool MoveGold(double last);
    // Some request connection carried exactly these requests (the server logs a connection
    // once it has ended, a moment after the client closed it).
    [[nodiscard]] bool Logged(const std::vector<int>& codes);
    // Buys the chart's instrument at the market through the toolbar's dialog, with its first
    // contents; the new position, or nothing (with a test failure) when none was opened.
    std::optional<PositionRecord> BuyAtMarket();

    DeliveringUi ui_;
    ServerProcess server_{{"--fixed-code", kCode, "--control-port", "0", "--market-step-ms", "0"}};
    std::unique_ptr<ClientEnvironment> env_;
    std::unique_ptr<CTQDiraveApp> app_;
    CMainFrame* frame_ = nullptr;
    TradingModel* model_ = nullptr;
};

}  // namespace zq::test
