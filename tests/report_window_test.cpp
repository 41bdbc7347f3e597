// The trade report window and its position and order pages against a model filled by the test:
// the caption, what selecting each tab does, the rows and their formats, the quote updates of
// the ticked instrument's cells, the menus' refusals, the delete of a pending order against a
// scripted server, and the listener entries once the window is gone.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTabBar>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "net/wire/session.h"
#include "reports/trade_report.h"
#include "reports/ui/account_pages.h"
#include "reports/ui/order_page.h"
#include "reports/ui/position_pages.h"
#include "reports/ui/simulate_main.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/support/test_directory.h"
#include "tests/trading_fixtures.h"
#include "trading/model.h"
#include "widgets/ui/qt_bridge.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::MakeInstrument;
using test::MakeOrder;
using test::MakePosition;
using test::Quote;

InstrumentRecord Priced(std::int32_t id, const char* name, int decimals, float bid, float ask) {
    InstrumentRecord r = MakeInstrument(id, decimals, 1);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.bid = bid;
    r.ask = ask;
    r.last = bid;
    return r;
}

PositionRecord Position(std::int32_t instrument, const char* name, std::int32_t side, double open,
                        double held, const char* ticket) {
    PositionRecord p = MakePosition(instrument, side, open, held, 0, 0, 1, ticket);
    std::snprintf(p.instrumentName, sizeof p.instrumentName, "%s", name);
    return p;
}

// Gold (id 1, two decimals) and silver (id 2, zero decimals), a buy and a sell of gold, a buy of
// silver, their summary lines and two orders.
void Fill(TradingModel& m) {
    m.SetInstruments(
        {Priced(1, "Gold", 2, 1650.50f, 1651.00f), Priced(2, "Silver", 0, 4000, 4010)});
    PositionRecord buy = Position(1, "Gold", direction::Buy, 1640.25, 2, "T1");
    buy.stopLoss = 1600;
    buy.takeProfit = 1700;
    buy.fee1 = 3;
    buy.fee2 = 1.5;
    buy.deferralFee = 0.25;
    std::snprintf(buy.openTime, sizeof buy.openTime, "2026-12-08 10:00:00");
    PositionRecord sell = Position(1, "Gold", direction::Sell, 1660, 1, "T2");
    PositionRecord silver = Position(2, "Silver", direction::Buy, 3990, 1.5, "T3");
    m.SetPositions({buy, sell, silver});
    PositionRecord goldBuys = buy, goldSells = sell, silvers = silver;
    goldBuys.occupiedMargin = 2000;
    m.SetSummary({goldBuys, goldSells, silvers});
    PendingOrderRecord o1 =
        MakeOrder(1, direction::Buy, trigger::BuyAskFalls, 1600.5, order_status::Waiting, "D1");
    std::snprintf(o1.instrumentName, sizeof o1.instrumentName, "Gold");
    o1.validity = order_validity::ThisWeek;
    o1.takeProfit = 990;
    PendingOrderRecord o2 =
        MakeOrder(2, direction::Sell, trigger::SellBidRises, 4100, order_status::Filled, "D2");
    o2.openClose = 2;
    o2.takeProfit = 1700;
    std::snprintf(o2.relatedPosition, sizeof o2.relatedPosition, "T3");
    m.SetOrders({o1, o2});
}

std::vector<std::string> Row(CReportListPage& page, int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < page.List()->columnCount(); ++c)
        cells.push_back(U(page.List()->Cell(row, c)));
    return cells;
}

std::string Cell(CReportListPage& page, int row, int column) {
    return U(page.List()->Cell(row, column));
}

void Tick(MessageWindow& window, std::int32_t instrument) {
    Quote q(instrument, 0);
    window.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(q.data()));
}

void SelectRow(CReportListPage& page, int row) {
    page.List()->clearSelection();
    page.List()->selectRow(row);
}

class ReportWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSession();
        Session().accountClass = 2;
        Session().memberName = "demo";
        Fill(model);
    }
    void TearDown() override { ResetSession(); }
    FakeUi ui;
    TradingModel model;
};

TEST(ReportCaptionTest, CaptionNamesTheMemberAndShowsTheFiguresWithTwoDecimals) {
    AccountBlock a{};
    a.netDeposits = 100000;
    a.equity = 101234.5;
    a.averageReturn = 1.2345f;
    a.floatingProfit = -12.345;
    a.availableMargin = 98000.126;
    // No trades: the success rate is 0.
    EXPECT_EQ(ReportCaption(2, "demo", a),
              "银卡会员demo:    入金100000.00 当前权益101234.50 操盘成功率0.00% "
              "平均收益率1.23% 浮动盈亏-12.35 可用保证金98000.13");
    a.tradeCount = 3;
    a.winningTradeCount = 2;
    EXPECT_NEAR(SuccessRate(a), 66.6667, 0.001);
    EXPECT_NE(ReportCaption(8, "demo", a).find("操盘成功率66.67%"), std::string::npos);
    // A class without a name: the caption begins with the member.
    EXPECT_EQ(ReportCaption(3, "demo", a).rfind("demo:    入金", 0), 0u);
    EXPECT_EQ(MemberLevelName(1), "普通会员");
    EXPECT_EQ(MemberLevelName(4), "金卡会员");
    EXPECT_EQ(MemberLevelName(8), "钻石卡会员");
    EXPECT_EQ(MemberLevelName(0), "");
}

TEST_F(ReportWindowTest, OpensOnTheSummaryWithSevenTabsAndTheCaption) {
    test::EditAccount(model, [](AccountBlock& a) {
        a.netDeposits = 5000;
        a.equity = 5100.5;
    });
    CSimulateMain w(model);
    ASSERT_EQ(w.Tabs()->count(), 7);
    const char* captions[] = {"持仓总汇", "持仓明细", "委托查询", "成交查询",
                              "资金曲线", "账户信息", "商品信息"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(U(w.Tabs()->tabText(i)), captions[i]);
    EXPECT_EQ(w.Tabs()->currentIndex(), 0);
    EXPECT_EQ(w.Page(0), w.Summary());
    EXPECT_FALSE(w.Page(0)->isHidden());
    for (int i = 1; i < 7; ++i) EXPECT_TRUE(w.Page(i)->isHidden()) << i;
    EXPECT_EQ(w.Summary()->List()->rowCount(), 3);
    EXPECT_EQ(U(w.windowTitle()).rfind("银卡会员demo:    入金5000.00 当前权益5100.50", 0), 0u);

    // The insets: 2 pixels above the tab control, pages 10 in and 30 below its top.
    w.show();
    w.resize(800, 400);
    EXPECT_EQ(w.TabControl()->geometry(), QRect(0, 2, 800, 398));
    EXPECT_EQ(w.Page(3)->geometry(), QRect(10, 30, 780, 358));
    EXPECT_EQ(w.Summary()->List()->geometry(), QRect(0, 0, 780, 358));

    // A quote tick recomputes the caption.
    test::EditAccount(model, [](AccountBlock& a) { a.equity = 7000; });
    w.HandleMessage(WM_QUOTE_TICK, 0, 0);
    EXPECT_NE(U(w.windowTitle()).find("当前权益7000.00"), std::string::npos);
}

TEST_F(ReportWindowTest, SelectingATabRefillsOnlyThePagesThatAskForIt) {
    CSimulateMain w(model);
    // The model changes without a notification; only a refill shows it.
    test::EditPositions(model, [](auto& list) { list.pop_back(); });
    test::EditSummary(model, [](auto& list) { list.pop_back(); });
    test::EditOrders(model, [](auto& list) { list.pop_back(); });

    w.Tabs()->setCurrentIndex(1);  // 持仓明细 keeps itself current through messages
    EXPECT_FALSE(w.Details()->isHidden());
    EXPECT_TRUE(w.Summary()->isHidden());
    EXPECT_EQ(w.Details()->List()->rowCount(), 3);
    w.Tabs()->setCurrentIndex(2);
    EXPECT_EQ(w.Orders()->List()->rowCount(), 1);
    w.Tabs()->setCurrentIndex(0);
    EXPECT_EQ(w.Summary()->List()->rowCount(), 2);
    for (int tab : {3, 4, 5, 6}) {
        w.Tabs()->setCurrentIndex(tab);
        EXPECT_FALSE(w.Page(tab)->isHidden());
    }
    EXPECT_NE(qobject_cast<CSPage4*>(w.Page(3)), nullptr);
    EXPECT_NE(qobject_cast<CSPage7*>(w.Page(4)), nullptr);
    EXPECT_NE(qobject_cast<CSpage5*>(w.Page(5)), nullptr);
    EXPECT_NE(qobject_cast<CSPage6*>(w.Page(6)), nullptr);

    // The change notification refills the details.
    w.Details()->HandleMessage(WM_POSITIONS_CHANGED, 0, 0);
    EXPECT_EQ(w.Details()->List()->rowCount(), 2);
}

TEST_F(ReportWindowTest, PagesShowEveryColumnInItsFormat) {
    CSPage1 details(model);
    ASSERT_EQ(details.List()->rowCount(), 3);
    EXPECT_EQ(Row(details, 0), (std::vector<std::string>{
                                   "T1", "Gold", "买", "2", "2", "1640.25", "1650.50", "1600.00",
                                   "1700.00", "-4.50", "-0.25", "2050.00", "2026-12-08 10:00:00"}));
    // A sell closes at the ask: (1660 - 1651) x 100 x 1 x 1.
    EXPECT_EQ(Cell(details, 1, 6), "1651.00");
    EXPECT_EQ(Cell(details, 1, 11), "900.00");
    EXPECT_EQ(Cell(details, 2, 5), "3990");
    EXPECT_EQ(details.List()->ColumnSortKind(3), kSortAsNumber);
    EXPECT_EQ(details.List()->ColumnSortKind(12), kSortAsText);
    EXPECT_EQ(details.List()->RowHeight(), 25);

    CSpage2 summary(model);
    EXPECT_EQ(summary.List()->rowCount(), 0);  // the window fills it
    summary.Refill();
    ASSERT_EQ(summary.List()->rowCount(), 3);
    EXPECT_EQ(Row(summary, 0), (std::vector<std::string>{"Gold", "买", "2", "1640.25", "2000.00",
                                                         "1650.50", "2050.00"}));
    EXPECT_EQ(Row(summary, 1)[5], "1651.00");
    EXPECT_EQ(Row(summary, 2)[6], "15.00");

    CSPage3 orders(model);
    ASSERT_EQ(orders.List()->rowCount(), 2);
    EXPECT_EQ(Row(orders, 0),
              (std::vector<std::string>{"D1", "Gold", "买", "1.00", "1600.50", "1651.00", "0.00",
                                        "990.00", "建仓", "当周有效", "", "", "等待"}));
    EXPECT_EQ(Row(orders, 1)[5], "4000");  // a sell order is measured against the bid
    EXPECT_EQ(Row(orders, 1)[8], "平仓");
    EXPECT_EQ(Row(orders, 1)[10], "T3");
    EXPECT_EQ(Row(orders, 1)[12], "已成交");

    // Take-profits sort as numbers: 990 before 1700.
    orders.List()->HeaderClicked(7);
    EXPECT_EQ(Cell(orders, 0, 0), "D1");
    orders.List()->HeaderClicked(7);
    EXPECT_EQ(Cell(orders, 0, 0), "D2");
}

// In a list longer than a quote updates whole, a quote reaches the rows in view at once, the
// others as they come into view or the page shows again, and every row before a sort: on the
// positions' closing price and the orders' current price alike.
TEST_F(ReportWindowTest, ALongListFollowsAQuoteWhereItIsShown) {
    const int count = 4 * CReportListPage::kRowsQuotedWhole;
    const int last = count - 1;
    std::vector<PositionRecord> positions;
    PositionRecord p = model.Positions()[0];  // a buy of gold, closing at the bid
    std::vector<PendingOrderRecord> orders;
    PendingOrderRecord o = model.Orders()[0];  // a buy of gold, measured against the ask
    for (int i = 0; i < count; ++i) {
        std::snprintf(p.ticket, sizeof p.ticket, "T%04d", i);
        std::snprintf(o.orderNumber, sizeof o.orderNumber, "D%04d", i);
        positions.push_back(p);
        orders.push_back(o);
    }
    model.SetPositions(positions);
    model.SetOrders(orders);
    CSPage1 details(model);
    CSPage3 ordersPage(model);
    const std::string profitBefore = Cell(details, 0, 11);
    struct Case {
        CReportListPage& page;
        int column;
        const char* before;
        const char* quoted[3];  // the column's text after each quote
    };
    for (const Case& c : {Case{details, 6, "1650.50", {"1660.50", "1670.50", "1680.50"}},
                          Case{ordersPage, 5, "1651.00", {"1661", "1671", "1681"}}}) {
        SCOPED_TRACE(c.before);
        test::EditInstruments(model, [](std::vector<InstrumentRecord>& l) {
            l[0].bid = 1650.50f;
            l[0].ask = 1651.00f;
        });
        c.page.Refill();
        c.page.resize(800, 400);
        c.page.show();
        while (c.page.List()->Filling()) QApplication::processEvents();
        const auto quote = [&](int k) {
            test::EditInstruments(model, [&](std::vector<InstrumentRecord>& l) {
                l[0].bid = 1660.50f + 10.0f * static_cast<float>(k);
                l[0].ask = l[0].bid + 0.5f;
            });
            Tick(c.page, 1);
        };
        quote(0);
        EXPECT_EQ(Cell(c.page, 0, c.column), c.quoted[0]);
        EXPECT_EQ(Cell(c.page, last, c.column), c.before);
        c.page.List()->scrollToBottom();
        EXPECT_EQ(Cell(c.page, last, c.column), c.quoted[0]);

        // Out of view (another tab), a quote waits for the page to show.
        c.page.hide();
        quote(1);
        EXPECT_EQ(Cell(c.page, last, c.column), c.quoted[0]);
        c.page.show();
        EXPECT_EQ(Cell(c.page, last, c.column), c.quoted[1]);
        EXPECT_EQ(Cell(c.page, 0, c.column), c.quoted[0]);

        quote(2);
        c.page.List()->HeaderClicked(c.column);
        for (int row = 0; row <= last; ++row)
            ASSERT_EQ(Cell(c.page, row, c.column), c.quoted[2]) << row;
        c.page.hide();
    }
    EXPECT_NE(Cell(details, last, 11), profitBefore);
    EXPECT_EQ(Cell(details, last, 11), Cell(details, 0, 11));
}

TEST_F(ReportWindowTest, EmptyListsShowOnlyTheHeaders) {
    model.SetPositions({});
    model.SetOrders({});
    CSPage1 details(model);
    CSPage3 orders(model);
    EXPECT_EQ(details.List()->rowCount(), 0);
    EXPECT_EQ(details.List()->columnCount(), 13);
    EXPECT_EQ(orders.List()->columnCount(), 13);
    EXPECT_EQ(U(orders.List()->horizontalHeaderItem(12)->text()), "状态");
}

TEST_F(ReportWindowTest, AQuoteRewritesOnlyTheTickedInstrumentsPriceCells) {
    CSPage1 details(model);
    CSpage2 summary(model);
    summary.Refill();
    CSPage3 orders(model);
    // The ask of gold rises: the sell's profit falls; silver's rows stay as they were.
    test::EditInstruments(model, [](auto& list) {
        list[0].bid = 1652.5f;
        list[0].ask = 1653.0f;
        list[1].bid = 1;
        list[1].ask = 1;
    });
    const std::vector<std::string> silverDetail = Row(details, 2);
    const std::vector<std::string> silverSummary = Row(summary, 2);
    const std::vector<std::string> silverOrder = Row(orders, 1);
    for (CReportListPage* page :
         {static_cast<CReportListPage*>(&details), static_cast<CReportListPage*>(&summary),
          static_cast<CReportListPage*>(&orders)})
        Tick(*page, 1);

    EXPECT_EQ(Cell(details, 0, 6), "1652.50");
    EXPECT_EQ(Cell(details, 0, 11), "2450.00");
    EXPECT_EQ(Cell(details, 1, 6), "1653.00");
    EXPECT_EQ(Cell(details, 1, 11), "700.00");
    // The summary and the orders change to the shortest form.
    EXPECT_EQ(Cell(summary, 0, 5), "1652.5");
    EXPECT_EQ(Cell(summary, 0, 6), "2450.00");
    EXPECT_EQ(Cell(summary, 1, 5), "1653");
    EXPECT_EQ(Cell(orders, 0, 5), "1653");
    EXPECT_EQ(Row(details, 2), silverDetail);
    EXPECT_EQ(Row(summary, 2), silverSummary);
    EXPECT_EQ(Row(orders, 1), silverOrder);

    // 1650.50 becomes 1650.5.
    test::EditInstruments(model, [](auto& list) { list[0].bid = 1650.50f; });
    Tick(summary, 1);
    EXPECT_EQ(Cell(summary, 0, 5), "1650.5");

    // A quote of an instrument the list lacks changes nothing on the position pages.
    const std::vector<std::string> before = Row(details, 0);
    Tick(details, 9);
    EXPECT_EQ(Row(details, 0), before);
}

TEST_F(ReportWindowTest, QuotesFindTheirRowsAfterTheUserSorted) {
    CSPage1 details(model);
    details.List()->HeaderClicked(0);  // descending: T3, T2, T1
    ASSERT_EQ(Cell(details, 0, 0), "T3");
    test::EditInstruments(model, [](auto& list) { list[0].bid = 1660.0f; });
    Tick(details, 1);
    EXPECT_EQ(Cell(details, 2, 6), "1660.00");
    EXPECT_EQ(Cell(details, 0, 6), "4000");
}

TEST_F(ReportWindowTest, MenusRefuseProgrammaticAndFinishedRecordsWithoutARequest) {
    test::ScriptServer server([](Socket&, int) {});
    server.UseAsRequestPort();
    test::EditPositions(model, [](auto& list) { list[0].programmatic = 1; });
    test::EditOrders(model, [](auto& list) { list[0].validity = order_validity::Programmatic; });
    CSPage1 details(model);
    CSPage3 orders(model);

    SelectRow(details, 0);
    details.RunMenuCommand(CSPage1::kModify);
    details.RunMenuCommand(CSPage1::kClose);
    SelectRow(orders, 0);
    orders.RunMenuCommand(CSPage3::kModify);
    orders.RunMenuCommand(CSPage3::kDelete);
    SelectRow(orders, 1);
    orders.RunMenuCommand(CSPage3::kModify);
    orders.RunMenuCommand(CSPage3::kDelete);
    EXPECT_EQ(ui.BoxTexts(),
              (std::vector<std::string>{"无法修改程序化交易订单", "无法修改程序化交易订单",
                                        "无法修改程序化交易订单", "无法修改程序化交易订单",
                                        "无法修改已经完成的订单", "无法删除已经完成的订单"}));
    EXPECT_EQ(server.Connections(), 0);

    // Without a selected row the commands do nothing.
    ui.Clear();
    details.List()->clearSelection();
    details.RunMenuCommand(CSPage1::kModify);
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(ReportWindowTest, TheMenusOfferTheirItemsWhereTheClickLands) {
    CSPage1 details(model);
    CSPage3 orders(model);
    details.resize(600, 300);
    orders.resize(600, 300);
    details.show();
    orders.show();
    std::vector<std::vector<QString>> shown;
    auto record = [&](const std::vector<CReportListPage::MenuItem>& items, const QPoint&) {
        std::vector<QString> texts;
        for (const auto& i : items) texts.push_back(i.text);
        shown.push_back(texts);
        return 0;
    };
    details.runMenu = record;
    orders.runMenu = record;
    const QPoint below(10, 280);  // under the last row
    details.ContextMenuAt(below, below);
    orders.ContextMenuAt(below, below);
    const QPoint onRow = orders.List()->visualItemRect(orders.List()->item(0, 0)).center();
    orders.ContextMenuAt(onRow, onRow);
    // "导出CSV" everywhere; the orders' own items only on a row.
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], (std::vector<QString>{"修改", "市价平仓", "导出CSV"}));
    EXPECT_EQ(shown[1], (std::vector<QString>{"导出CSV"}));
    EXPECT_EQ(shown[2], (std::vector<QString>{"修改", "删除", "导出CSV"}));
}

// "导出CSV" in the menus of the four list pages writes the list's CSV to the chosen file; a
// cancelled choice writes nothing.
TEST_F(ReportWindowTest, TheListPagesExportTheirListsAsCsv) {
    const std::filesystem::path dir = test::MakeTestDirectory("zq-csv");
    CSpage2 summary(model);
    summary.Refill();
    CSPage1 details(model);
    CSPage3 orders(model);
    CSPage4 fills(model);
    const std::vector<std::pair<CReportTab*, CSortListCtrl*>> pages{{&summary, summary.List()},
                                                                    {&details, details.List()},
                                                                    {&orders, orders.List()},
                                                                    {&fills, fills.List()}};
    int n = 0;
    for (auto [page, list] : pages) {
        const QString path = QString::fromStdString((dir / std::to_string(n++)).string());
        QString offered;
        page->runMenu = [](const std::vector<CReportTab::MenuItem>& items, const QPoint&) {
            return items.back().text == QStringLiteral("导出CSV") ? items.back().command : 0;
        };
        page->chooseCsvPath = [&](QWidget*, const QString& suggested) {
            offered = suggested;
            return QString();
        };
        const auto rightClick = [&] {
            if (auto* listPage = dynamic_cast<CReportListPage*>(page))
                listPage->ContextMenuAt(QPoint(5, 5), QPoint(5, 5));
            else
                fills.ContextMenuAt(QPoint(5, 5));
        };
        rightClick();
        EXPECT_TRUE(offered.endsWith(QStringLiteral(".csv"))) << offered.toStdString();
        EXPECT_FALSE(QFile::exists(path));
        page->chooseCsvPath = [&](QWidget*, const QString&) { return path; };
        rightClick();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << n;
        const QByteArray bytes = file.readAll();
        EXPECT_EQ(bytes, list->CsvBytes());
        EXPECT_TRUE(
            bytes.startsWith("\xEF\xBB\xBF" + list->horizontalHeaderItem(0)->text().toUtf8()));
        EXPECT_EQ(bytes.count("\r\n"), list->rowCount() + 1);
    }
    EXPECT_GT(details.List()->rowCount(), 0);
    std::filesystem::remove_all(dir);
}

// A request port that answers the delete of an order with `answer`, then the reloads of the
// orders (now without it) and of the account on the same connection.
struct DeleteServer {
    std::mutex mutex;
    std::vector<std::vector<std::int32_t>> connections;
    std::string payload;
    std::int32_t answer = 1;
    std::vector<PendingOrderRecord> remaining;
    test::ScriptServer server{[this](Socket& peer, int) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            connections.emplace_back();
        }
        RequestHeader h{};
        while (test::ScriptServer::ReadHeader(peer, h)) {
            std::string reply;
            std::string body;
            if (h.command == cmd::DeletePending) {
                body.resize(30);
                if (ReceiveExact(peer, body.data(), 30) != 30) return;
                reply = test::Int32Bytes(answer);
            } else if (h.command == cmd::LoadPending) {
                body.resize(sizeof(LoadOrdersRequest));
                if (ReceiveExact(peer, body.data(), static_cast<int>(body.size())) !=
                    static_cast<int>(body.size()))
                    return;
                reply = test::ListAnswer(static_cast<std::int32_t>(remaining.size()), remaining);
            } else if (h.command == cmd::LoadAccount) {
                AccountBlock a{};
                a.netDeposits = 777;
                reply.assign(reinterpret_cast<const char*>(&a), sizeof a);
            } else {
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                connections.back().push_back(h.command);
                if (h.command == cmd::DeletePending) payload = body;
            }
            peer.Send(reply.data(), reply.size());
        }
    }};
    DeleteServer() { server.UseAsRequestPort(); }
    std::vector<std::vector<std::int32_t>> Connections() {
        std::lock_guard<std::mutex> lock(mutex);
        return connections;
    }
};

TEST_F(ReportWindowTest, DeletingAnOrderAsksFirstThenDeletesAndReloadsOnOneConnection) {
    DeleteServer server;
    server.remaining = {model.Orders()[1]};
    CSimulateMain w(model);
    ui.SetLive(w.Handle());
    ui.OnSend([&](WindowHandle target, unsigned msg, std::intptr_t wp, std::intptr_t lp) {
        return target == w.Handle() ? w.HandleMessage(msg, wp, lp) : 0;
    });
    CSPage3& orders = *w.Orders();
    SelectRow(orders, 0);

    // No: nothing is sent.
    ui.SetBoxAnswer(IdNo);
    orders.RunMenuCommand(CSPage3::kDelete);
    ASSERT_EQ(ui.BoxTexts(), (std::vector<std::string>{"确认删除订单[D1]？"}));
    EXPECT_EQ(ui.Boxes()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(server.server.Connections(), 0);
    EXPECT_EQ(orders.List()->rowCount(), 2);

    // Yes: 15, then the orders and the account, all on one connection.
    ui.SetBoxAnswer(IdYes);
    orders.RunMenuCommand(CSPage3::kDelete);
    ASSERT_EQ(server.Connections(), (std::vector<std::vector<std::int32_t>>{
                                        {cmd::DeletePending, cmd::LoadPending, cmd::LoadAccount}}));
    // The page sends the order number alone, zero-padded to 30 bytes.
    EXPECT_EQ(server.payload, std::string("D1") + std::string(28, '\0'));
    EXPECT_EQ(orders.List()->rowCount(), 1);
    EXPECT_EQ(Cell(orders, 0, 0), "D2");
    ASSERT_EQ(ui.Sounds().size(), 1u);
    EXPECT_EQ(ui.Sounds()[0].id, sound::Trade);
    // The report window was told, and its caption shows the reloaded account.
    EXPECT_EQ(ui.SendsTo(w.Handle()), std::vector<unsigned>{WM_QUOTE_TICK});
    EXPECT_NE(U(w.windowTitle()).find("入金777.00"), std::string::npos);
}

TEST_F(ReportWindowTest, AFailedDeleteLeavesTheListsAsTheyWere) {
    DeleteServer server;
    server.answer = 0;
    CSPage3 orders(model);
    SelectRow(orders, 0);
    ui.SetBoxAnswer(IdYes);
    orders.RunMenuCommand(CSPage3::kDelete);
    EXPECT_EQ(ui.BoxTexts().back(), "删除失败，请检查网络");
    EXPECT_EQ(model.Orders().size(), 2u);
    EXPECT_EQ(orders.List()->rowCount(), 2);
}

TEST(ReportListenersTest, TheWindowAndItsPagesLeaveTheListenerListWhenClosed) {
    QtBridge bridge;
    SetUi(&bridge);
    TradingModel model;
    Fill(model);
    std::vector<WindowHandle> registered;
    {
        CSimulateMain w(model);
        registered = model.TickListeners();
        EXPECT_EQ(registered.size(), 5u);  // the window, its three list pages and the account page
        EXPECT_NE(std::find(registered.begin(), registered.end(), w.Handle()), registered.end());
    }
    Quote q(1, 165000);
    model.NotifyTickListeners(false, false, q.data());
    EXPECT_TRUE(model.TickListeners().empty());
    SetUi(nullptr);
}

}  // namespace
}  // namespace zq
