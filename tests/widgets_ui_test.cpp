// The shared controls as windows: the numeric edit field with its spin button, and the sort
// list with its header clicks, row drawing and column sizes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <memory>
#include <vector>

#include "widgets/ui/desktop_notifier.h"
#include "widgets/ui/float_number_edit.h"
#include "widgets/ui/sort_list.h"
#include "widgets/ui/spin_button.h"

namespace zq {
namespace {

TEST(FloatNumberEditTest, SetAndGetCountsWhileTheUserSeesTheValue) {
    CFloatNumberEdit edit;
    EXPECT_EQ(edit.Decimals(), 0);
    edit.SetDecimals(2);
    EXPECT_EQ(edit.Scale(), 100.0f);
    edit.SetValueText(QStringLiteral("165050"));
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("1650.50"));
    EXPECT_EQ(edit.DisplayedValue(), 1650.5);

    // What the user types is normalised by the next read.
    edit.setText(QStringLiteral("1650.5"));
    EXPECT_EQ(edit.ValueText(), QStringLiteral("165050"));
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("1650.50"));
    edit.setText(QStringLiteral("-0.005"));
    EXPECT_EQ(edit.ValueText(), QStringLiteral("-1"));
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("-0.01"));
    edit.setText(QStringLiteral("1650.5"));
    EXPECT_EQ(edit.ValueText(3), QStringLiteral("165"));

    edit.setText(QStringLiteral("12.5元"));
    EXPECT_EQ(edit.DisplayedValue(), 12.5);
    edit.setText(QStringLiteral("abc"));
    EXPECT_EQ(edit.DisplayedValue(), 0.0);
    EXPECT_EQ(edit.ValueText(), QStringLiteral("0"));
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("0.00"));
}

TEST(FloatNumberEditTest, NewDecimalsKeepTheCount) {
    CFloatNumberEdit edit;
    edit.SetDecimals(2);
    edit.SetValueText(QStringLiteral("165050"));
    edit.SetDecimals(3);
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("165.050"));
    EXPECT_EQ(edit.ValueText(), QStringLiteral("165050"));
    edit.SetDecimals(-1);
    EXPECT_EQ(edit.DisplayedText(), QStringLiteral("1650500"));
    EXPECT_EQ(edit.Scale(), 0.1f);

    // A field the user left empty has no value to rescale.
    CFloatNumberEdit empty;
    empty.SetDecimals(4);
    EXPECT_EQ(empty.DisplayedText(), QString());
    EXPECT_EQ(empty.Decimals(), 4);
    EXPECT_EQ(empty.ValueText(), QStringLiteral("0"));
}

struct SpinFixture {
    QWidget dialog;
    CFloatNumberEdit* edit = new CFloatNumberEdit(&dialog);
    MySpinButtonCtrl* spin = new MySpinButtonCtrl(&dialog);
    std::vector<int> stepped;

    SpinFixture() {
        edit->setGeometry(10, 10, 100, 24);
        spin->SetBuddy(edit);
        QObject::connect(spin, &MySpinButtonCtrl::Stepped, [this](int c) { stepped.push_back(c); });
    }
    void Mouse(QEvent::Type type, QPoint at) {
        QMouseEvent e(type, QPointF(at), QPointF(spin->mapToGlobal(at)), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                      Qt::NoModifier);
        QApplication::sendEvent(spin, &e);
    }
    void Click(bool up) {
        const QPoint at(spin->width() / 2, up ? 2 : spin->height() - 3);
        Mouse(QEvent::MouseButtonPress, at);
        Mouse(QEvent::MouseButtonRelease, at);
    }
    void Key(int key) {
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(edit, &e);
    }
    void Wheel(int angle) {
        const QPointF at(spin->width() / 2.0, spin->height() / 2.0);
        QWheelEvent e(at, spin->mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(spin, &e);
    }
};

TEST(SpinButtonTest, StepsTheBuddysCountByTheFactorWithinTheRange) {
    SpinFixture f;
    // Lots with one decimal, 1.0 to 5.0 in steps of 0.5.
    f.edit->SetDecimals(1);
    f.spin->SetRange(10, 50);
    EXPECT_EQ(f.spin->StepFactor(), 1);
    f.spin->SetStepFactor(5);
    EXPECT_EQ(f.spin->StepFactor(), 5);
    f.edit->SetValueText(QStringLiteral("10"));

    f.spin->Step(1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1.5"));
    f.spin->Step(-1);
    f.spin->Step(-1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1.0"));
    // What the user typed is where the step starts: 1.25 is 13 units.
    f.edit->setText(QStringLiteral("1.25"));
    f.spin->Step(1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1.8"));
    for (int i = 0; i < 10; ++i) f.spin->Step(1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("5.0"));
    EXPECT_EQ(f.stepped.back(), 50);

    // A value outside the range snaps into it on the first step, whichever way it goes.
    f.edit->setText(QStringLiteral("0.2"));
    f.spin->Step(-1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1.0"));
    f.edit->setText(QStringLiteral("99"));
    f.spin->Step(1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("5.0"));
    f.edit->setText(QStringLiteral("not a number"));
    f.spin->Step(1);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1.0"));

    // A range given the wrong way round, and counts at the ends of 32 bits.
    f.spin->SetRange(1000000, 0);
    EXPECT_EQ(f.spin->Lower(), 0);
    EXPECT_EQ(f.spin->Upper(), 1000000);
    f.spin->SetRange(INT_MIN, INT_MAX);
    f.spin->SetStepFactor(INT_MAX);
    f.edit->SetValueText(QStringLiteral("2147483647"));
    f.spin->Step(1);
    EXPECT_EQ(f.stepped.back(), INT_MAX);
    f.spin->Step(-1);
    f.spin->Step(-1);
    f.spin->Step(-1);
    EXPECT_EQ(f.stepped.back(), INT_MIN);
}

TEST(SpinButtonTest, ArrowsWheelAndKeysStep) {
    SpinFixture f;
    f.spin->SetRange(0, 1000000);
    f.edit->SetDecimals(2);
    f.edit->SetValueText(QStringLiteral("165050"));
    f.spin->setGeometry(110, 10, MySpinButtonCtrl::kWidth, 24);

    f.Click(true);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.51"));
    f.Click(false);
    f.Click(false);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.49"));
    f.Wheel(240);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.51"));
    f.Wheel(-60);
    f.Wheel(-60);  // two half notches make one
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.50"));
    f.Key(Qt::Key_Up);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.51"));
    f.Key(Qt::Key_Down);
    f.Key(Qt::Key_Down);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.49"));
    EXPECT_EQ(f.stepped.size(), 9u);

    // Other keys still edit the field.
    f.Key(Qt::Key_Left);
    EXPECT_EQ(f.stepped.size(), 9u);
    // A disabled spin does not step from the mouse.
    f.spin->setEnabled(false);
    f.Click(true);
    f.Key(Qt::Key_Up);
    EXPECT_EQ(f.edit->DisplayedText(), QStringLiteral("1650.49"));
}

TEST(SpinButtonTest, SizeAndBuddyLifetime) {
    SpinFixture f;
    EXPECT_EQ(f.spin->width(), MySpinButtonCtrl::kWidth);
    EXPECT_EQ(f.spin->sizeHint().height(), f.edit->sizeHint().height());
    f.spin->AttachToBuddyRight();
    EXPECT_EQ(f.edit->geometry(), QRect(10, 10, 100 - MySpinButtonCtrl::kWidth, 24));
    EXPECT_EQ(f.spin->geometry(),
              QRect(10 + 100 - MySpinButtonCtrl::kWidth, 10, MySpinButtonCtrl::kWidth, 24));

    // Without a buddy, or after the buddy is gone, a step does nothing.
    delete f.edit;
    f.edit = nullptr;
    EXPECT_EQ(f.spin->Buddy(), nullptr);
    f.spin->Step(1);
    MySpinButtonCtrl alone;
    alone.Step(1);
    EXPECT_TRUE(f.stepped.empty());
}

// A list as the report pages set it up: shown, so that its header takes clicks.
struct ListFixture {
    CSortListCtrl list;

    ListFixture() {
        list.SetColumns(
            {QStringLiteral("商品名称"), QStringLiteral("浮动盈亏"), QStringLiteral("建仓时间")});
        list.SetColumnSortKinds({kSortAsText, kSortAsNumber, kSortAsText});
        list.SetRowHeight(25);
        list.resize(400, 200);
        list.show();
    }
    void Add(const QString& a, const QString& b, qint64 id) {
        const int row = list.AddRow({a, b, QStringLiteral("2024-05-06")});
        list.SetRowData(row, id);
    }
    void ClickHeader(int column) {
        QHeaderView* h = list.horizontalHeader();
        const QPoint at(h->sectionViewportPosition(column) + h->sectionSize(column) / 2,
                        h->height() / 2);
        for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent e(t, QPointF(at), QPointF(h->viewport()->mapToGlobal(at)), Qt::LeftButton,
                          t == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
            QApplication::sendEvent(h->viewport(), &e);
        }
    }
    std::vector<QString> Column(int c) const {
        std::vector<QString> cells;
        for (int r = 0; r < list.rowCount(); ++r) cells.push_back(list.Cell(r, c));
        return cells;
    }
    std::vector<qint64> Ids() const {
        std::vector<qint64> ids;
        for (int r = 0; r < list.rowCount(); ++r) ids.push_back(list.RowData(r));
        return ids;
    }
};

TEST(SortListTest, HeaderClicksSortRowsWithTheirData) {
    using V = std::vector<QString>;
    ListFixture f;
    f.Add(QStringLiteral("白银"), QStringLiteral("3"), 1);
    f.Add(QStringLiteral("阿胶"), QStringLiteral("-12.50"), 2);
    f.Add(QStringLiteral("黄金"), QStringLiteral("abc"), 3);
    f.list.selectRow(1);  // 阿胶

    // Column 0 starts out ascending, so its first click sorts it descending: by UTF-16 code
    // units, not by pinyin.
    f.ClickHeader(0);
    EXPECT_EQ(f.list.Sort().Column(), 0);
    EXPECT_FALSE(f.list.Sort().Ascending());
    EXPECT_EQ(f.Column(0),
              (V{QStringLiteral("黄金"), QStringLiteral("阿胶"), QStringLiteral("白银")}));
    EXPECT_EQ(f.Ids(), (std::vector<qint64>{3, 2, 1}));
    f.ClickHeader(0);
    EXPECT_EQ(f.Column(0),
              (V{QStringLiteral("白银"), QStringLiteral("阿胶"), QStringLiteral("黄金")}));

    // Another column sorts ascending first; text in a number column counts as 0.
    f.ClickHeader(1);
    EXPECT_TRUE(f.list.Sort().Ascending());
    EXPECT_EQ(f.Column(1),
              (V{QStringLiteral("-12.50"), QStringLiteral("abc"), QStringLiteral("3")}));
    EXPECT_EQ(f.Ids(), (std::vector<qint64>{2, 3, 1}));
    // The selection went with its row.
    ASSERT_EQ(f.list.selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(f.list.selectionModel()->selectedRows().front().row(), 0);
    f.ClickHeader(1);
    EXPECT_EQ(f.Column(1),
              (V{QStringLiteral("3"), QStringLiteral("abc"), QStringLiteral("-12.50")}));
    EXPECT_EQ(f.list.selectionModel()->selectedRows().front().row(), 2);

    // A refill keeps the order it is given.
    f.list.DeleteAllRows();
    f.Add(QStringLiteral("b"), QStringLiteral("1"), 10);
    f.Add(QStringLiteral("a"), QStringLiteral("2"), 11);
    EXPECT_EQ(f.Column(0), (V{QStringLiteral("b"), QStringLiteral("a")}));
    EXPECT_EQ(f.Ids(), (std::vector<qint64>{10, 11}));
}

TEST(SortListTest, CellsAndRowsAsThePagesUseThem) {
    ListFixture f;
    EXPECT_EQ(f.list.AddRow({QStringLiteral("x")}), 0);
    EXPECT_EQ(f.list.AddRow({QStringLiteral("p"), QStringLiteral("q"), QStringLiteral("r"),
                             QStringLiteral("dropped")}),
              1);
    EXPECT_EQ(f.list.Cell(0, 0), QStringLiteral("x"));
    EXPECT_EQ(f.list.Cell(0, 2), QString());
    EXPECT_EQ(f.list.Cell(1, 2), QStringLiteral("r"));
    f.list.SetCell(0, 1, QStringLiteral("1650.5"));
    EXPECT_EQ(f.list.Cell(0, 1), QStringLiteral("1650.5"));
    // Out of the list: ignored, empty.
    f.list.SetCell(5, 0, QStringLiteral("none"));
    f.list.SetRowData(5, 7);
    EXPECT_EQ(f.list.Cell(5, 0), QString());
    EXPECT_EQ(f.list.RowData(5), 0);
    EXPECT_EQ(f.list.RowData(1), 0);
    EXPECT_EQ(f.list.rowCount(), 2);

    for (int r = 0; r < 2; ++r) EXPECT_EQ(f.list.rowHeight(r), 25);
    EXPECT_EQ(f.list.RowHeight(), 25);
    EXPECT_FALSE(f.list.item(0, 0)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(f.list.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(f.list.verticalHeader()->isVisible());
    EXPECT_FALSE(f.list.isSortingEnabled());
    // Sort kinds beyond the 25 kept read as text.
    f.list.SetColumnSortKinds(std::vector<int>(30, kSortAsNumber));
    EXPECT_EQ(f.list.ColumnSortKind(24), kSortAsNumber);
    EXPECT_EQ(f.list.ColumnSortKind(25), kSortAsText);
}

// The CSV of a list is what the list shows: headers and rows in the order on screen (after a
// sort, with a column moved, a hidden column left out), UTF-8 behind a byte-order mark, fields
// with separators quoted.
TEST(SortListTest, CsvIsTheListAsShown) {
    ListFixture f;
    f.Add(QStringLiteral("白银"), QStringLiteral("3"), 1);
    f.Add(QStringLiteral("a,\"b\""), QStringLiteral("-12.50"), 2);
    f.Add(QStringLiteral("two\nlines"), QStringLiteral("7"), 3);
    f.ClickHeader(1);  // ascending by number
    EXPECT_EQ(f.list.CsvBytes(), QByteArray("\xEF\xBB\xBF"
                                            "商品名称,浮动盈亏,建仓时间\r\n"
                                            "\"a,\"\"b\"\"\",-12.50,2024-05-06\r\n"
                                            "白银,3,2024-05-06\r\n"
                                            "\"two\nlines\",7,2024-05-06\r\n"));
    f.list.horizontalHeader()->moveSection(2, 0);
    f.list.setColumnHidden(1, true);
    f.list.DeleteAllRows();
    EXPECT_EQ(f.list.CsvBytes(), QByteArray("\xEF\xBB\xBF建仓时间,商品名称\r\n"));
}

TEST(SortListTest, RowsAreDrawnInAlternatingColours) {
    ListFixture f;
    for (int i = 0; i < 4; ++i) f.Add(QString::number(i), QStringLiteral("1"), i);
    f.list.setColumnWidth(0, 120);
    f.list.selectRow(2);
    QApplication::processEvents();
    const QImage image = f.list.viewport()->grab().toImage();
    // A point of each row well right of its short text.
    auto at = [&](int row) {
        return image.pixelColor(100, f.list.rowViewportPosition(row) + 12).rgb() | 0xFF000000;
    };
    const QPalette pal = f.list.palette();
    EXPECT_EQ(at(0), pal.color(QPalette::Active, QPalette::Base).rgb());
    EXPECT_EQ(at(1), 0xFFECECECu);
    EXPECT_EQ(at(2), pal.color(QPalette::Active, QPalette::Highlight).rgb());
    EXPECT_EQ(at(3), 0xFFECECECu);
}

TEST(SortListTest, AutoSizeFitsContentsAndHeaders) {
    ListFixture f;
    // Column 0: contents wider than the header; column 1 and the last: headers wider.
    f.list.AddRow(
        {QStringLiteral("上海黄金延期交收合约"), QStringLiteral("1"), QStringLiteral("-")});
    f.list.AddRow({QStringLiteral("白银"), QStringLiteral("-2"), QStringLiteral("今日")});
    f.list.AutoSizeColumns();
    QHeaderView* h = f.list.horizontalHeader();
    const QFontMetrics fm(f.list.font());
    const int text = fm.horizontalAdvance(QStringLiteral("上海黄金延期交收合约"));
    // The widest cell fits between the insets, with 4 pixels more.
    EXPECT_GE(f.list.columnWidth(0) - 4, text + 2 * CSortListCtrl::kTextInset);
    EXPECT_LE(f.list.columnWidth(0) - 4, text + 2 * CSortListCtrl::kTextInset + 1);
    EXPECT_GT(f.list.columnWidth(0) - 4, h->sectionSizeHint(0));
    EXPECT_EQ(f.list.columnWidth(1), h->sectionSizeHint(1) + 4);
    // The last column gets no extra pixels when its header is the wider.
    EXPECT_EQ(f.list.columnWidth(2), h->sectionSizeHint(2));

    // With wider contents the last column gets its 4 pixels like the others.
    f.list.SetCell(0, 2, QStringLiteral("2024-05-06 14:30:00 星期一 上海"));
    f.list.AutoSizeColumns();
    const int last = fm.horizontalAdvance(QStringLiteral("2024-05-06 14:30:00 星期一 上海"));
    EXPECT_GE(f.list.columnWidth(2) - 4, last + 2 * CSortListCtrl::kTextInset);
    EXPECT_TRUE(f.list.updatesEnabled());

    // An empty list sizes to its headers.
    f.list.DeleteAllRows();
    f.list.AutoSizeColumns();
    EXPECT_EQ(f.list.columnWidth(0), h->sectionSizeHint(0) + 4);
}

// A long fill: the row count at once, the first rows' cells at once and the rest a batch per
// turn of the event loop; header clicks wait for it, a sort writes the rest first, the columns
// end as AutoSizeColumns fits them, and a refill or a clear stops a fill under way.
TEST(SortListTest, ALongListFillsInBatches) {
    ListFixture f;
    const int rows = 1000;
    const auto write = [&f](int row) {
        f.list.SetCell(row, 0, QString::number(row % 7) + QStringLiteral("号"));
        f.list.SetCell(row, 1, QString::number(rows - row));
        f.list.SetRowData(row, row + 1);
    };
    f.list.FillInBatches(rows, write, {10, 100, true});
    EXPECT_EQ(f.list.rowCount(), rows);
    EXPECT_EQ(f.list.FilledRows(), 10);
    EXPECT_EQ(f.list.Cell(9, 1), QStringLiteral("991"));
    EXPECT_EQ(f.list.Cell(10, 1), QString());
    EXPECT_FALSE(f.list.horizontalHeader()->sectionsClickable());
    QApplication::processEvents();
    EXPECT_GT(f.list.FilledRows(), 10);
    while (f.list.Filling()) QApplication::processEvents();
    EXPECT_EQ(f.list.FilledRows(), rows);
    EXPECT_EQ(f.list.RowData(rows - 1), rows);
    EXPECT_TRUE(f.list.horizontalHeader()->sectionsClickable());
    const int widths[] = {f.list.columnWidth(0), f.list.columnWidth(1), f.list.columnWidth(2)};
    f.list.AutoSizeColumns();
    for (int c = 0; c < 3; ++c) EXPECT_EQ(f.list.columnWidth(c), widths[c]) << c;

    // A sort asked for during a fill sorts every row.
    f.list.FillInBatches(rows, write, {10, 100, true});
    f.list.HeaderClicked(1);  // ascending by number
    EXPECT_FALSE(f.list.Filling());
    EXPECT_EQ(f.list.Cell(0, 1), QStringLiteral("1"));
    EXPECT_EQ(f.list.RowData(0), rows);

    // A new fill replaces one under way; a clear ends it.
    f.list.FillInBatches(rows, write, {10, 100, false});
    f.list.FillInBatches(3, [&](int row) { f.list.SetCell(row, 0, QStringLiteral("x")); });
    EXPECT_FALSE(f.list.Filling());
    EXPECT_EQ(f.list.rowCount(), 3);
    f.list.FillInBatches(rows, write, {10, 100, false});
    f.list.DeleteAllRows();
    QApplication::processEvents();
    EXPECT_EQ(f.list.rowCount(), 0);
    EXPECT_FALSE(f.list.Filling());
    EXPECT_TRUE(f.list.horizontalHeader()->sectionsClickable());
}

// Without a tray (the offscreen platform has none) the default notifier shows nothing, logs
// nothing and takes every call; the tray's count is drawn on the program's icon.
TEST(DesktopNotifierTest, SilentWithoutATrayAndTheCountOnTheIcon) {
    static std::vector<QString> logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { logged.push_back(text); });
    DesktopNotifier& notifier = CurrentNotifier();
    int window = 0;
    notifier.SetTray(&window, 0x4F0, 3);
    notifier.Notify(QStringLiteral("ZelvanQuorvex"), QStringLiteral("新消息"));
    notifier.SetTray(nullptr, 0, 0);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(logged.empty()) << logged.front().toStdString();

    const QImage plain = UnreadIcon(0).pixmap(64, 64).toImage();
    const QImage three = UnreadIcon(3).pixmap(64, 64).toImage();
    EXPECT_FALSE(plain.isNull());
    EXPECT_NE(plain, three);
    EXPECT_NE(three, UnreadIcon(120).pixmap(64, 64).toImage());
}

}  // namespace
}  // namespace zq
