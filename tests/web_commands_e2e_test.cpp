// Every web page the program opens is one the stand-in server serves: the frame's commands and
// the login dialog's installer page, fetched from the server's web port as a browser would.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "base/config.h"
#include "net/ui/dlg_login.h"
#include "tests/support/client_e2e.h"
#include "widgets/command_ids.h"

namespace zq {
namespace {

class WebCommandsEndToEnd : public test::ClientEndToEnd {
  protected:
    void SetUp() override {
        ClientEndToEnd::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_NE(server_.webPort(), 0);
        test::PointClientWebAt(server_);
    }

    // The status of a GET of `url`, 0 when nothing answered.
    int Status(const std::string& url) {
        QNetworkAccessManager network;
        QNetworkReply* reply = network.get(QNetworkRequest(QUrl(QString::fromStdString(url))));
        test::ServeUntil([&] { return reply->isFinished(); }, kWaitMs);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        return status;
    }
};

TEST_F(WebCommandsEndToEnd, EveryPageTheProgramOpensIsServed) {
    for (int command :
         {cmdid::HomePage, cmdid::BlogPage, cmdid::SignalHelp, cmdid::Deposit, cmdid::TradeStats})
        frame_->OnCommand(command);
    std::vector<std::string> urls = ui_.OpenedUrls();
    ASSERT_EQ(urls.size(), 5u);
    urls.push_back(WebAddress(kInstallerPagePath));
    for (const std::string& url : urls) {
        EXPECT_EQ(url.rfind(server_.webBase(), 0), 0u) << url;
        EXPECT_EQ(Status(url), 200) << url;
    }
}

}  // namespace
}  // namespace zq
