// The fills, equity curve, account and instrument pages of the trade report window: the fills
// query's payload and its exchange against a scripted request port (empty answers, cut records,
// failures that keep the last result), the row and grid texts, the account grid's refills and
// quote updates, and the small web view against a local HTTP responder.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateEdit>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstring>
#include <map>
#include <mutex>

#include "base/config.h"
#include "net/wire/session.h"
#include "reports/fills_query.h"
#include "reports/report_grids.h"
#include "reports/ui/account_pages.h"
#include "reports/ui/explorer.h"
#include "reports/ui/simulate_main.h"
#include "tests/support/app_driver.h"
#include "tests/support/fake_ui.h"
#include "tests/support/script_server.h"
#include "tests/trading_fixtures.h"
#include "widgets/ui/sort_list.h"
#include "widgets/window_messages.h"

namespace zq {
namespace {

using test::FakeUi;
using test::MakeInstrument;

InstrumentRecord Named(std::int32_t id, const char* name, std::int32_t tradable) {
    InstrumentRecord r = MakeInstrument(id, 2, 1);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.tradable = tradable;
    return r;
}

FillRecord Fill(const char* number, std::int32_t openClose, double profit) {
    FillRecord f{};
    std::snprintf(f.fillNumber, sizeof f.fillNumber, "%s", number);
    std::snprintf(f.instrumentName, sizeof f.instrumentName, "Gold");
    f.direction = 1;
    f.quantity = 1.5;
    f.price = 1650.25;
    f.closeProfit = profit;
    std::snprintf(f.orderNumber, sizeof f.orderNumber, "D%s", number);
    std::snprintf(f.ticket, sizeof f.ticket, "T%s", number);
    f.openClose = openClose;
    f.kind = 1;
    f.originator = 1;
    std::snprintf(f.time, sizeof f.time, "2026-12-08 10:00:00");
    return f;
}

std::string Bytes(const void* data, std::size_t n) {
    return std::string(static_cast<const char*>(data), n);
}

// An answer to request 19: the count, these records, then `tail` (a summary or a cut-off part).
std::string Answer(std::int32_t count, const std::vector<FillRecord>& records,
                   const std::string& tail) {
    std::string out = Bytes(&count, sizeof count);
    for (const FillRecord& r : records) out += Bytes(&r, sizeof r);
    return out + tail;
}

std::string Summary(float success, float profit, float returnRate) {
    const FillSummary s{success, profit, returnRate};
    return Bytes(&s, sizeof s);
}

// A request port that reads each fills query and answers it with the next scripted answer
// (none: closes at once after the query).
class FillsServer {
  public:
    FillsServer()
        : server_([this](Socket& peer, int index) {
              RequestHeader h{};
              if (!test::ScriptServer::ReadHeader(peer, h)) return;
              FillQuery q{};
              if (ReceiveExact(peer, &q, sizeof q) != static_cast<int>(sizeof q)) return;
              std::string reply;
              {
                  std::lock_guard<std::mutex> lock(mutex_);
                  commands_.push_back(h.command);
                  queries_.push_back(q);
                  if (static_cast<std::size_t>(index) < answers_.size())
                      reply = answers_[static_cast<std::size_t>(index)];
              }
              if (!reply.empty()) peer.Send(reply.data(), reply.size());
          }) {
        server_.UseAsRequestPort();
    }
    void Script(std::vector<std::string> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_ = std::move(answers);
    }
    std::vector<FillQuery> Queries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return queries_;
    }
    std::vector<std::int32_t> Commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> answers_;
    std::vector<FillQuery> queries_;
    std::vector<std::int32_t> commands_;
    test::ScriptServer server_;
};

class ReportPagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSession();
        Session().memberName = "demo";
        model.SetInstruments({Named(1, "Gold", 1), Named(7, "Copper", 0), Named(9, "Oil", 1)});
    }
    void TearDown() override { ResetSession(); }
    FakeUi ui;
    TradingModel model;
};

std::vector<std::string> Row(CSPage4& page, int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < page.List()->columnCount(); ++c)
        cells.push_back(U(page.List()->Cell(row, c)));
    return cells;
}

std::vector<std::string> Figures(CSPage4& page) {
    return {U(page.Figure(0)->text()), U(page.Figure(1)->text()), U(page.Figure(2)->text())};
}

// --- The fills query. ---

TEST(FillsQueryTest, PayloadCarriesTheDatesAsTextAndTheFilter) {
    const FillQuery q = MakeFillQuery(CalendarDate{2026, 3, 7}, CalendarDate{2026, 12, 8}, 501);
    const std::string bytes = Bytes(&q, sizeof q);
    ASSERT_EQ(bytes.size(), 52u);
    EXPECT_EQ(bytes.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(q.instrument, 501);
    EXPECT_EQ(bytes.substr(8, 4), std::string(4, '\0'));
    EXPECT_EQ(bytes.substr(12, 20), std::string("2026-03-07") + std::string(10, '\0'));
    EXPECT_EQ(bytes.substr(32, 20), std::string("2026-12-08") + std::string(10, '\0'));

    // No start date: its field is all zero.
    const FillQuery open = MakeFillQuery(std::nullopt, CalendarDate{2026, 12, 8}, 0);
    EXPECT_EQ(Bytes(open.startDate, 20), std::string(20, '\0'));
    EXPECT_EQ(std::string(open.endDate), "2026-12-08");
}

TEST(FillsQueryTest, RowsShowTheFillsFieldsInTheirFormats) {
    FillRecord closing = Fill("F2", 2, -12.345);
    closing.direction = 2;
    closing.kind = 2;
    closing.originator = 3;
    EXPECT_EQ(FillCells(closing), (std::vector<std::string>{
                                      "F2", "Gold", "卖", "1.5", "1650.25", "平仓", "-12.35", "DF2",
                                      "TF2", "指价成交", "程序化", "2026-12-08 10:00:00"}));
    // An opening fill has no closing profit, whatever the record carries there.
    FillRecord opening = Fill("F1", 1, 99);
    EXPECT_EQ(FillCells(opening)[fills_column::Profit], "");
    EXPECT_EQ(FillCells(opening)[2], "买");
    EXPECT_EQ(FillCells(opening)[5], "建仓");
    EXPECT_EQ(FillCells(opening)[9], "市价成交");
    EXPECT_EQ(FillCells(opening)[10], "用户");
    // Codes outside their tables leave the cells empty; only 2 counts as closing for the profit.
    opening.openClose = 3;
    opening.kind = 9;
    opening.originator = 0;
    EXPECT_EQ(FillCells(opening)[5], "平仓");
    EXPECT_EQ(FillCells(opening)[fills_column::Profit], "");
    EXPECT_EQ(FillCells(opening)[9], "");
    EXPECT_EQ(FillCells(opening)[10], "");
    opening.originator = 2;
    EXPECT_EQ(FillCells(opening)[10], "系统");

    const FillFigures f = FillFigureTexts({66.666f, 1234.5f, -3.456f});
    EXPECT_EQ(f.successRate, "66.67%");
    EXPECT_EQ(f.profit, "1234.50");
    EXPECT_EQ(f.returnRate, "-3.46%");
}

TEST_F(ReportPagesTest, DropDownOffersTheGroupsThenTheTradableInstrumentsAndSendsTheirFilters) {
    FillsServer server;
    server.Script({Answer(0, {}, Summary(0, 0, 0)), Answer(0, {}, Summary(0, 0, 0)),
                   Answer(0, {}, Summary(0, 0, 0))});
    CSPage4 page(model);
    QComboBox* box = page.Instruments();
    ASSERT_EQ(box->count(), 5);
    EXPECT_EQ(U(box->itemText(0)), "所有产品");
    EXPECT_EQ(U(box->itemText(1)), "银卡会员产品");
    EXPECT_EQ(U(box->itemText(2)), "金卡会员产品");
    EXPECT_EQ(U(box->itemText(3)), "Gold");
    EXPECT_EQ(U(box->itemText(4)), "Oil");  // Copper is not tradable
    EXPECT_EQ(box->currentIndex(), -1);

    // The pickers open on a week ago and today by the market's calendar (Beijing), whatever
    // the machine's zone: the server dates the fills so.
    const QDateTime beijing = QDateTime::currentDateTimeUtc().addSecs(8 * 3600).toTimeSpec(Qt::UTC);
    EXPECT_EQ(page.StartPicker()->date(), beijing.addSecs(-604800).date());
    EXPECT_EQ(page.EndPicker()->date(), beijing.date());

    page.StartPicker()->setDate(QDate(2026, 1, 2));
    page.EndPicker()->setDate(QDate(2026, 2, 3));
    page.RunQuery();  // no selection
    box->setCurrentIndex(1);
    page.QueryButton()->click();
    box->setCurrentIndex(4);
    page.RunQuery();
    const std::vector<FillQuery> sent = server.Queries();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(server.Commands(), (std::vector<std::int32_t>{19, 19, 19}));
    EXPECT_EQ(sent[0].instrument, 0);
    EXPECT_EQ(sent[1].instrument, 501);
    EXPECT_EQ(sent[2].instrument, 9);
    EXPECT_EQ(std::string(sent[0].startDate), "2026-01-02");
    EXPECT_EQ(std::string(sent[0].endDate), "2026-02-03");
    EXPECT_TRUE(ui.BoxTexts().empty()) << testing::PrintToString(ui.BoxTexts());
}

TEST_F(ReportPagesTest, AnswersReplaceTheRowsAndAnEmptyOneStillShowsTheFigures) {
    FillsServer server;
    server.Script({Answer(2, {Fill("F1", 1, 0), Fill("F2", 2, 8.5)}, Summary(50, 8.5f, 0.25f)),
                   Answer(0, {}, Summary(12.5f, -3, 1))});
    CSPage4 page(model);
    page.OnSelected();
    ASSERT_EQ(page.List()->rowCount(), 2);
    EXPECT_EQ(Row(page, 0)[0], "F1");
    EXPECT_EQ(Row(page, 1)[fills_column::Profit], "8.50");
    EXPECT_EQ(page.List()->RowData(1), 1);
    EXPECT_EQ(page.List()->RowHeight(), 25);
    EXPECT_EQ(Figures(page), (std::vector<std::string>{"50.00%", "8.50", "0.25%"}));

    page.RunQuery();
    EXPECT_EQ(page.List()->rowCount(), 0);
    EXPECT_EQ(Figures(page), (std::vector<std::string>{"12.50%", "-3.00", "1.00%"}));
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(ReportPagesTest, ARecordCutShortIsLeftOutAndTheMissingSummaryIsZero) {
    FillsServer server;
    const FillRecord cut = Fill("F2", 2, 1);
    server.Script({Answer(3, {Fill("F1", 1, 0)}, Bytes(&cut, 100))});
    CSPage4 page(model);
    page.RunQuery();
    ASSERT_EQ(page.List()->rowCount(), 1);
    EXPECT_EQ(Row(page, 0)[0], "F1");
    EXPECT_EQ(Figures(page), (std::vector<std::string>{"0.00%", "0.00", "0.00%"}));
    EXPECT_TRUE(ui.BoxTexts().empty());
}

TEST_F(ReportPagesTest, FailuresShowTheirMessageAndKeepTheLastResult) {
    std::uint16_t closedPort = 0;
    {
        FillsServer server;
        // Second query: the server closes without a count; third: a count no list reaches.
        const std::int32_t huge = 0x7FFFFFFF;
        server.Script({Answer(1, {Fill("F1", 2, 4)}, Summary(10, 4, 2)), "",
                       Bytes(&huge, sizeof huge) + std::string(300, 'x')});
        CSPage4 page(model);
        page.RunQuery();
        ASSERT_EQ(page.List()->rowCount(), 1);
        page.RunQuery();
        page.RunQuery();
        EXPECT_EQ(ui.BoxTexts(),
                  (std::vector<std::string>{"获取成交信息失败", "获取成交信息失败"}));
        EXPECT_EQ(ui.Boxes()[0].caption, AppTitle());
        EXPECT_EQ(page.List()->rowCount(), 1);
        EXPECT_EQ(Figures(page), (std::vector<std::string>{"10.00%", "4.00", "2.00%"}));
        closedPort = static_cast<std::uint16_t>(std::stoi(std::getenv("ZQ_REQUEST_PORT")));
    }
    // Nobody listens on the port any more.
    ASSERT_NE(closedPort, 0);
    ui.Clear();
    CSPage4 page(model);
    page.RunQuery();
    EXPECT_EQ(ui.BoxTexts(), (std::vector<std::string>{"无法连接服务器，操作已取消"}));
    EXPECT_EQ(page.List()->rowCount(), 0);
}

// --- The account grid. ---

AccountBlock SomeAccount() {
    AccountBlock a{};
    std::snprintf(a.accountName, sizeof a.accountName, "demo");
    a.equity = 100123.456;
    a.netDeposits = 100000;
    a.floatingProfit = -5.5;
    a.todayClosedProfit = 12;
    a.availableMargin = 90000.126;
    a.todayFees = 3;
    a.occupiedMargin = 10000;
    a.previousDeferralFee = 0.5;
    a.frozenMargin = 1;
    a.frozenFees = 2;
    a.lastAward = 2;
    return a;
}

TEST(AccountGridTest, RefillWritesEveryCellAndShowsDashesForNoRates) {
    const GridTexts g = AccountGridTexts(SomeAccount());
    ASSERT_EQ(g.size(), 9u);
    EXPECT_EQ(g[0], (std::vector<std::string>{"账户名称", "demo", "", ""}));
    EXPECT_EQ(g[1], (std::vector<std::string>{"当前权益", "100123.46", "", ""}));
    EXPECT_EQ(g[2], (std::vector<std::string>{"出入金总额", "100000.00", "浮动盈亏", "-5.50"}));
    EXPECT_EQ(g[3][3], "90000.13");
    EXPECT_EQ(g[5], (std::vector<std::string>{"上日延期费", "0.50", "冻结保证金", "1.00"}));
    EXPECT_EQ(g[6], (std::vector<std::string>{"风险率", "--", "冻结手续费", "2.00"}));
    EXPECT_EQ(g[7], (std::vector<std::string>{"平均收益率", "--", "上期获奖", "二等奖"}));
    EXPECT_EQ(g[8], (std::vector<std::string>(4)));

    AccountBlock a = SomeAccount();
    a.riskRate = 45.678f;
    a.averageReturn = -1.5f;
    EXPECT_EQ(AccountGridTexts(a)[6][1], "45.68%");
    EXPECT_EQ(AccountGridTexts(a)[7][1], "-1.50%");
    a.riskRate = -2;  // only a rate above 0 is shown
    EXPECT_EQ(AccountGridTexts(a)[6][1], "--");
    // Fees of nothing read as nothing, whatever sign the sum carried.
    a.todayFees = -0.0;
    a.frozenFees = -0.004f;
    EXPECT_EQ(AccountGridTexts(a)[4][1], "0.00");
    EXPECT_EQ(AccountGridTexts(a)[6][3], "0.00");
    a.frozenFees = -0.006f;
    EXPECT_EQ(AccountGridTexts(a)[6][3], "-0.01");

    EXPECT_EQ(AwardText(1), "一等奖");
    EXPECT_EQ(AwardText(3), "三等奖");
    EXPECT_EQ(AwardText(4), "鼓励奖");
    EXPECT_EQ(AwardText(0), "否");
    EXPECT_EQ(AwardText(5), "否");
}

TEST_F(ReportPagesTest, AccountPageRefillsOnChangesAndRewritesTheQuotedCells) {
    model.SetAccount(SomeAccount());
    CSpage5 page(model);
    CReportGrid& grid = *page.Grid();
    ASSERT_EQ(grid.rowCount(), 9);
    ASSERT_EQ(grid.columnCount(), 4);
    EXPECT_EQ(grid.columnWidth(3), 150);
    EXPECT_EQ(grid.rowHeight(8), 30);
    EXPECT_EQ(grid.item(4, 2)->background().color(), QColor(215, 215, 215));
    EXPECT_EQ(grid.CellText(6, 1), "--");
    EXPECT_EQ(grid.CellText(3, 1), "12.00");
    auto registered = model.TickListeners();
    EXPECT_NE(std::find(registered.begin(), registered.end(), page.Handle()), registered.end());

    // A quote rewrites only the moving figures, the rates always as percentages.
    test::EditAccount(model, [](AccountBlock& a) {
        a.equity = 99000;
        a.todayClosedProfit = 77;
        a.availableMargin = 1;
    });
    test::Quote q(1, 165000);
    page.HandleMessage(WM_QUOTE_TICK, 0, reinterpret_cast<std::intptr_t>(q.data()));
    EXPECT_EQ(grid.CellText(1, 1), "99000.00");
    EXPECT_EQ(grid.CellText(3, 3), "1.00");
    EXPECT_EQ(grid.CellText(6, 1), "0.00%");
    EXPECT_EQ(grid.CellText(7, 1), "0.00%");
    EXPECT_EQ(grid.CellText(3, 1), "12.00");  // not a quoted cell

    page.HandleMessage(WM_POSITIONS_CHANGED, 0, 0);
    EXPECT_EQ(grid.CellText(3, 1), "77.00");
    EXPECT_EQ(grid.CellText(6, 1), "--");
}

TEST_F(ReportPagesTest, OpeningTheAccountTabRefillsItEachTime) {
    test::ScriptServer silent([](Socket&, int) {});
    silent.UseAsRequestPort();
    model.SetAccount(SomeAccount());
    CSimulateMain w(model);
    auto* page = qobject_cast<CSpage5*>(w.Page(5));
    ASSERT_NE(page, nullptr);
    test::EditAccount(model, [](AccountBlock& a) { a.equity = 1; });
    w.Tabs()->setCurrentIndex(5);
    EXPECT_EQ(page->Grid()->CellText(1, 1), "1.00");
    w.Tabs()->setCurrentIndex(6);
    test::EditAccount(model, [](AccountBlock& a) {
        a.equity = 2;
        a.lastAward = 4;
    });
    w.Tabs()->setCurrentIndex(5);
    EXPECT_EQ(page->Grid()->CellText(1, 1), "2.00");
    EXPECT_EQ(page->Grid()->CellText(7, 3), "鼓励奖");
}

// --- The instrument grid. ---

TEST(InstrumentGridTest, RulesShowInTheirUnitsAndScales) {
    InstrumentRecord r = Named(1, "Gold", 1);
    std::snprintf(r.code, sizeof r.code, "XAU");
    r.unitKind = 2;
    r.lotSize = 100;
    r.minLots = 0.5f;
    r.maxLots = 20;
    r.maxPosition = 50;
    r.feeMethod = 1;
    r.feeValue = 3;
    r.feeCollection = 1;
    r.marginMethod = 1;
    r.marginValue = 12.5f;
    r.deferralValue = 25;
    GridTexts g = InstrumentGridTexts(r);
    ASSERT_EQ(g.size(), 8u);
    EXPECT_EQ(g[0], (std::vector<std::string>{"商品名称", "Gold", "商品代码", "XAU"}));
    EXPECT_EQ(g[1], (std::vector<std::string>{"商品状态", "交易", "交易单位", "100盎司/手"}));
    EXPECT_EQ(g[2], (std::vector<std::string>{"单笔最小量", "0.5手", "单笔最大量", "20手"}));
    EXPECT_EQ(g[3], (std::vector<std::string>{"最大持仓量", "50手", "", ""}));
    EXPECT_EQ(g[4], (std::vector<std::string>{"手续费算法", "按比例", "手续费系数", "0.0003"}));
    EXPECT_EQ(g[5][1], "单边（建仓时）");
    EXPECT_EQ(g[6], (std::vector<std::string>{"保证金算法", "按比例", "保证金比例", "12.5%"}));
    EXPECT_EQ(g[7], (std::vector<std::string>{"延期费算法", "按比例", "延期费率", "0.00025"}));

    // Per lot: the values as they are; the deferral row follows the margin method.
    r.feeMethod = 2;
    r.feeCollection = 2;
    r.marginMethod = 2;
    r.marginValue = 1000;
    g = InstrumentGridTexts(r);
    EXPECT_EQ(g[4], (std::vector<std::string>{"手续费算法", "按手数", "每手手续费", "3"}));
    EXPECT_EQ(g[5][1], "双边征收");
    EXPECT_EQ(g[6], (std::vector<std::string>{"保证金算法", "按手数", "每手保证金", "1000"}));
    EXPECT_EQ(g[7], (std::vector<std::string>{"延期费算法", "按手数", "每手延期费", "25"}));

    const std::pair<int, const char*> units[] = {
        {1, "100克/手"}, {3, "100千克/手"}, {4, "100货币单位/手"},
        {5, "100吨/手"}, {6, ""},           {0, ""}};
    for (const auto& [kind, text] : units) {
        r.unitKind = kind;
        EXPECT_EQ(InstrumentGridTexts(r)[1][3], text) << kind;
    }
}

TEST_F(ReportPagesTest, InstrumentPageShowsTheChosenTradableInstrument) {
    test::EditInstruments(model, [](auto& list) {
        list[0].feeMethod = 1;
        list[0].feeValue = 3;
        list[2].maxLots = 7;
    });
    CSPage6 page(model);
    ASSERT_EQ(page.Instruments()->count(), 2);
    EXPECT_EQ(page.Instruments()->currentIndex(), 0);
    EXPECT_EQ(page.Grid()->rowCount(), 8);
    EXPECT_EQ(page.Grid()->CellText(0, 1), "Gold");
    EXPECT_EQ(page.Grid()->CellText(4, 3), "0.0003");
    page.Instruments()->setCurrentIndex(1);
    EXPECT_EQ(page.Grid()->CellText(0, 1), "Oil");
    EXPECT_EQ(page.Grid()->CellText(2, 3), "7手");
    // Ids of 0 or below and ids the list lacks change nothing.
    page.ShowInstrument(0);
    page.ShowInstrument(-3);
    page.ShowInstrument(42);
    EXPECT_EQ(page.Grid()->CellText(0, 1), "Oil");
}

// --- The web view. ---

// A tiny HTTP responder on the loopback: each request's first line and headers are kept, and
// the path decides the answer.
class WebResponder {
  public:
    WebResponder() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* peer = server_.nextPendingConnection()) {
                QObject::connect(peer, &QTcpSocket::readyRead, peer, [this, peer] { Serve(peer); });
                QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
        QImage image(40, 20, QImage::Format_RGB32);
        image.fill(Qt::red);
        QBuffer buffer(&png_);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
    }
    QString Base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    std::vector<QByteArray> Requests() const { return requests_; }

  private:
    void Serve(QTcpSocket* peer) {
        QByteArray& in = pending_[peer];
        in += peer->readAll();
        if (!in.contains("\r\n\r\n")) return;
        requests_.push_back(in);
        const QByteArray path = in.split(' ').value(1);
        in.clear();
        QByteArray type = "text/html; charset=utf-8", body;
        if (path.startsWith("/curve/page.jsp"))
            body =
                "<html><body><p>曲线</p><IMG alt=x SRC='pic.png?cuserno=a&amp;b=1'></body></html>";
        else if (path.startsWith("/curve/pic.png"))
            type = "image/png", body = png_;
        else if (path.startsWith("/plain"))
            body = "<html><body><h1>资金曲线</h1><p>暂无数据</p></body></html>";
        else if (path.startsWith("/huge"))
            body = "<p>" + QByteArray(kMaxWebPageBytes, 'x');
        else if (path.startsWith("/bigpicture"))
            body = "<p>曲线太大</p><img src=/big.png>";
        else if (path.startsWith("/big.png"))
            type = "image/png", body = png_ + QByteArray(kMaxWebPictureBytes, '\0');
        QByteArray head =
            "HTTP/1.1 200 OK\r\nContent-Type: " + type +
            "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n\r\n";
        peer->write(head + body);
        peer->disconnectFromHost();
    }

    QTcpServer server_;
    QByteArray png_;
    std::map<QTcpSocket*, QByteArray> pending_;
    std::vector<QByteArray> requests_;
};

TEST(ExplorerTest, ShowsThePagesFirstPictureFetchedRelativeToThePage) {
    WebResponder web;
    CExplorer1 view;
    view.resize(200, 200);
    int loaded = 0;
    QObject::connect(&view, &CExplorer1::Loaded, [&] { ++loaded; });
    view.Navigate(web.Base() + "/curve/page.jsp?cuserno=demo");
    ASSERT_TRUE(test::ServeUntil([&] { return loaded == 1; }));
    ASSERT_FALSE(view.Picture().isNull());
    EXPECT_EQ(view.Picture().size(), QSize(40, 20));
    EXPECT_EQ(view.Picture().pixelColor(5, 5), QColor(Qt::red));
    const std::vector<QByteArray> requests = web.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].startsWith("GET /curve/page.jsp?cuserno=demo HTTP/1.1"));
    EXPECT_TRUE(requests[1].startsWith("GET /curve/pic.png?cuserno=a&b=1 HTTP/1.1"));
    EXPECT_TRUE(requests[0].contains("Content-Type: application/x-www-form-urlencoded"));
    // The page is painted scaled into the view.
    const QImage shot = view.grab().toImage();
    EXPECT_EQ(shot.pixelColor(100, 100), QColor(Qt::red));
}

TEST(ExplorerTest, PageWithoutPictureShowsItsTextAndNoServerAShortFailure) {
    WebResponder web;
    CExplorer1 view;
    int loaded = 0;
    QObject::connect(&view, &CExplorer1::Loaded, [&] { ++loaded; });
    view.Navigate(web.Base() + "/plain");
    ASSERT_TRUE(test::ServeUntil([&] { return loaded == 1; }));
    EXPECT_TRUE(view.Picture().isNull());
    EXPECT_TRUE(view.Text().contains(QStringLiteral("暂无数据")));
    EXPECT_FALSE(view.Text().contains('<'));

    QTcpServer gone;
    gone.listen(QHostAddress::LocalHost, 0);
    const quint16 port = gone.serverPort();
    gone.close();
    view.Navigate(QStringLiteral("http://127.0.0.1:%1/x").arg(port));
    ASSERT_TRUE(test::ServeUntil([&] { return loaded == 2; }));
    EXPECT_EQ(U(view.Text()), kPageUnreachableText);

    // A page or picture beyond its bound is abandoned: the failure, or the page's text.
    view.Navigate(web.Base() + "/huge");
    ASSERT_TRUE(test::ServeUntil([&] { return loaded == 3; }));
    EXPECT_EQ(U(view.Text()), kPageUnreachableText);
    view.Navigate(web.Base() + "/bigpicture");
    ASSERT_TRUE(test::ServeUntil([&] { return loaded == 4; }));
    EXPECT_TRUE(view.Picture().isNull());
    EXPECT_TRUE(view.Text().contains(QStringLiteral("曲线太大")));

    EXPECT_EQ(CExplorer1::FirstPictureOf("<p>no picture</p>", QUrl("http://h/a")), QUrl());
    EXPECT_EQ(CExplorer1::FirstPictureOf("<img src=/b.png><img src=c.png>", QUrl("http://h/a/p")),
              QUrl("http://h/b.png"));
}

TEST(ExplorerTest, RightClicksInsideThePageReachNoAncestor) {
    struct Parent : QWidget {
        int presses = 0;
        void mousePressEvent(QMouseEvent*) override { ++presses; }
    } parent;
    parent.setContextMenuPolicy(Qt::CustomContextMenu);
    int menus = 0;
    QObject::connect(&parent, &QWidget::customContextMenuRequested, [&] { ++menus; });
    auto* view = new CExplorer1(&parent);
    view->setGeometry(0, 0, 100, 100);
    parent.resize(100, 100);
    parent.show();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(10, 10), QPoint(10, 10));
    QApplication::sendEvent(view, &menu);
    EXPECT_EQ(parent.presses, 0);
    EXPECT_EQ(menus, 0);
}

TEST_F(ReportPagesTest, EquityPageAsksForTheMembersCurveAtEverySelection) {
    ::setenv("ZQ_WEB_BASE", "http://127.0.0.1:1", 1);
    ReloadConfig();
    Session().memberName = "张三&x";
    CSPage7 page(model);
    page.OnSelected();
    EXPECT_EQ(page.Explorer()->Address().toString(QUrl::FullyEncoded),
              "http://127.0.0.1:1/TradeChatPic.jsp?cuserno=%E5%BC%A0%E4%B8%89%26x");
    ::unsetenv("ZQ_WEB_BASE");
    ReloadConfig();
}

}  // namespace
}  // namespace zq
