// Messages and sounds in the windows: the frame's looped sounds and their two-second end, the
// sounds played once, the blink of the message button, the message manager's rows, selection
// and refill, posts from a worker thread, and the compiled-in clips.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "app/client_core.h"
#include "app/ui/main_frame.h"
#include "app/ui/toolbar_icons.h"
#include "base/config.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "reports/ui/sms_manager.h"
#include "tests/support/app_driver.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/recording_sound.h"
#include "tests/support/script_server.h"
#include "widgets/command_ids.h"
#include "widgets/ui/sort_list.h"

namespace zq {
namespace {

using test::RecordingSoundOutput;
using test::ServeUntil;

// Only bounds how long a broken build can hold the run up.
constexpr int kWaitMs = 10000;
constexpr int kLoopedHalf = CMainFrame::kLoopedSoundMs / 2;

QImage ImageOf(const QIcon& icon) {
    return icon.pixmap(32, 32).toImage();
}

// A frame without a server: the start-up load fails (its message box is recorded), so the
// store starts empty and nothing blinks or sounds until a test posts.
class MessageFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = "/tmp/zq-message-ui-test-" + std::to_string(::getpid());
        ::setenv("ZQ_DATA_DIR", dir_.c_str(), 1);
        for (const char* port : {"ZQ_REQUEST_PORT", "ZQ_DATA_PORT", "ZQ_PUSH_PORT"})
            ::setenv(port, "1", 1);
        ReloadConfig();
        ResetSession();
        Session().serverAddress = htonl(INADDR_LOOPBACK);
        FrameServices services;
        services.listedInstruments = [] { return std::vector<int>{1}; };
        frame_ = std::make_unique<CMainFrame>(core_, std::move(services));
        frame_->StartupLoad();
        QApplication::processEvents();
        sounds_.Clear();
    }
    void TearDown() override {
        frame_.reset();
        std::string rm = "rm -rf " + dir_;
        (void)std::system(rm.c_str());
        for (const char* v : {"ZQ_DATA_DIR", "ZQ_REQUEST_PORT", "ZQ_DATA_PORT", "ZQ_PUSH_PORT"})
            ::unsetenv(v);
        ReloadConfig();
        ResetSession();
    }
    bool PlaysReach(std::size_t n) {
        return ServeUntil([&] { return sounds_.Plays().size() >= n; }, kWaitMs);
    }
    QImage ButtonImage() const { return ImageOf(frame_->Action(cmdid::OpenMessages)->icon()); }

    std::string dir_;
    test::SoundingUi ui_;
    RecordingSoundOutput sounds_;
    ClientCore core_;
    std::unique_ptr<CMainFrame> frame_;
};

TEST_F(MessageFrameTest, AMessageLoopsTheChimeUntilTimerThreeEndsIt) {
    frame_->Core().Messages().Post("新消息", 0, sound::Message);
    ASSERT_TRUE(PlaysReach(1));
    const auto plays = sounds_.Plays();
    EXPECT_EQ(plays[0].path, QStringLiteral(":/sounds/151.wav"));
    EXPECT_TRUE(plays[0].looped);
    EXPECT_EQ(sounds_.Stops(), 0);
    QTimer* timer = frame_->LoopedSoundTimer();
    EXPECT_TRUE(timer->isActive());
    EXPECT_TRUE(timer->isSingleShot());
    EXPECT_EQ(timer->interval(), CMainFrame::kLoopedSoundMs);

    ASSERT_TRUE(ServeUntil([&] { return sounds_.Stops() == 1; }, kWaitMs));
    EXPECT_FALSE(timer->isActive());
    // The stop comes after the play, and nothing else happened in between.
    const auto events = sounds_.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[1].path.isEmpty());
}

TEST_F(MessageFrameTest, TradeAndTriggerSoundsPlayOnceAndAnAlertLoops) {
    Ui().PlaySound(sound::Trade, false);
    Ui().PlaySound(sound::Trigger, false);
    frame_->Core().Messages().Post("到价提醒", 0, sound::Alert);
    ASSERT_TRUE(PlaysReach(3));
    const auto plays = sounds_.Plays();
    EXPECT_EQ(plays[0].path, QStringLiteral(":/sounds/190.wav"));
    EXPECT_FALSE(plays[0].looped);
    EXPECT_EQ(plays[1].path, QStringLiteral(":/sounds/192.wav"));
    EXPECT_FALSE(plays[1].looped);
    EXPECT_EQ(plays[2].path, QStringLiteral(":/sounds/198.wav"));
    EXPECT_TRUE(plays[2].looped);
    EXPECT_TRUE(frame_->LoopedSoundTimer()->isActive());
    // The sounds played once leave timer 3 alone: only the alert started it.
    ASSERT_TRUE(ServeUntil([&] { return sounds_.Stops() == 1; }, kWaitMs));
    EXPECT_EQ(sounds_.Plays().size(), 3u);
}

TEST_F(MessageFrameTest, ASecondAlertStartsTheTwoSecondsAgain) {
    QTimer* timer = frame_->LoopedSoundTimer();
    frame_->Core().Messages().Post("first", 0, sound::Alert);
    ASSERT_TRUE(PlaysReach(1));
    // Half of the first period passes.
    ASSERT_TRUE(ServeUntil([&] { return timer->remainingTime() <= kLoopedHalf; }, kWaitMs));
    ASSERT_EQ(sounds_.Stops(), 0);
    const int leftOfFirst = timer->remainingTime();

    frame_->Core().Messages().Post("second", 0, sound::Alert);
    ASSERT_TRUE(PlaysReach(2));
    EXPECT_GT(timer->remainingTime(), leftOfFirst);
    EXPECT_EQ(sounds_.Stops(), 0);

    // One stop for both, after the second period.
    ASSERT_TRUE(ServeUntil([&] { return sounds_.Stops() == 1; }, kWaitMs));
    const auto events = sounds_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].path, QStringLiteral(":/sounds/198.wav"));
    EXPECT_EQ(events[1].path, QStringLiteral(":/sounds/198.wav"));
    EXPECT_TRUE(events[2].path.isEmpty());
}

TEST_F(MessageFrameTest, TheButtonBlinksFromAPostUntilTheManagerOpensAndAgainAfterALaterPost) {
    const QImage normal = ImageOf(CommandIcon(cmdid::OpenMessages));
    const QImage blank = ImageOf(BlankIcon());
    ASSERT_NE(normal, blank);
    frame_->UpdateCommandStates();
    EXPECT_TRUE(frame_->Action(cmdid::OpenMessages)->isEnabled());
    EXPECT_FALSE(frame_->MessageBlinking());

    frame_->Core().Messages().Post("一", 0, sound::Message);
    ASSERT_TRUE(ServeUntil([&] { return frame_->MessageBlinking(); }, kWaitMs));
    QTimer* blink = frame_->MessageBlinkTimer();
    EXPECT_TRUE(blink->isActive());
    EXPECT_EQ(blink->interval(), CMainFrame::kMessageBlinkMs);
    // The image alternates between the button's own and none.
    ASSERT_TRUE(ServeUntil([&] { return ButtonImage() == blank; }, kWaitMs));
    ASSERT_TRUE(ServeUntil([&] { return ButtonImage() == normal; }, kWaitMs));
    ASSERT_TRUE(ServeUntil([&] { return ButtonImage() == blank; }, kWaitMs));

    // A second post while blinking keeps the one blink going.
    frame_->Core().Messages().Post("二", 0, sound::Message);
    ASSERT_TRUE(PlaysReach(2));
    EXPECT_TRUE(blink->isActive());

    bool shown = false;
    bool blinkingInside = true;
    bool normalInside = false;
    int rowsInside = 0;
    test::WhenDialogShows<CSmsManager>(
        [&](CSmsManager& manager) {
            blinkingInside = frame_->MessageBlinking() || blink->isActive();
            normalInside = ButtonImage() == normal;
            rowsInside = manager.List()->rowCount();
            manager.CloseButton()->click();
        },
        &shown);
    frame_->OnCommand(cmdid::OpenMessages);
    ASSERT_TRUE(shown);
    EXPECT_FALSE(blinkingInside);
    EXPECT_TRUE(normalInside);
    EXPECT_EQ(rowsInside, 2);
    EXPECT_FALSE(frame_->MessageBlinking());

    frame_->Core().Messages().Post("三", 0, sound::Message);
    ASSERT_TRUE(ServeUntil([&] { return frame_->MessageBlinking(); }, kWaitMs));
    EXPECT_TRUE(blink->isActive());
}

// Messages raise a desktop notification only while no window of the program is in front (one
// for a burst), the tray counts them until the manager opens, and a click on the tray opens
// the manager.
TEST_F(MessageFrameTest, NotificationsOnlyBehindOtherWindowsAndTheTrayCountsUnread) {
    test::RecordingNotifier notifier;
    const auto serve = [] {
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
    };
    frame_->Core().Messages().Post("到价提醒：伦敦金 1650.50", 0, sound::Alert);
    ASSERT_TRUE(ServeUntil([&] { return !notifier.notes.empty(); }, kWaitMs));
    EXPECT_EQ(notifier.notes[0].title, Q(AppTitle()));
    EXPECT_EQ(notifier.notes[0].text, QStringLiteral("到价提醒：伦敦金 1650.50"));
    EXPECT_EQ(frame_->UnreadMessages(), 1);
    EXPECT_EQ(notifier.counts.back(), 1);
    EXPECT_TRUE(notifier.TrayShown());

    frame_->Core().Messages().Post("一", 0, sound::Message);
    frame_->Core().Messages().Post("二", 0, sound::Message);
    ASSERT_TRUE(ServeUntil([&] { return notifier.notes.size() == 2; }, kWaitMs));
    serve();
    ASSERT_EQ(notifier.notes.size(), 2u);
    EXPECT_EQ(notifier.notes[1].text, QStringLiteral("2条新消息\n二"));
    EXPECT_EQ(notifier.counts.back(), 3);

    // In front: the blink and the sound tell, the tray still counts.
    frame_->show();
    frame_->activateWindow();
    QApplication::setActiveWindow(frame_.get());
    ASSERT_TRUE(ServeUntil([&] { return QApplication::activeWindow() != nullptr; }, kWaitMs));
    frame_->Core().Messages().Post("三", 0, sound::Message);
    ASSERT_TRUE(ServeUntil([&] { return frame_->UnreadMessages() == 4; }, kWaitMs));
    serve();
    EXPECT_EQ(notifier.notes.size(), 2u);
    EXPECT_EQ(notifier.counts.back(), 4);

    bool shown = false;
    test::WhenDialogShows<CSmsManager>(
        [&](CSmsManager& manager) { manager.CloseButton()->click(); }, &shown);
    notifier.ClickTray();
    ASSERT_TRUE(ServeUntil([&] { return shown; }, kWaitMs));
    EXPECT_EQ(frame_->UnreadMessages(), 0);
    EXPECT_EQ(notifier.counts.back(), 0);
    frame_.reset();
    EXPECT_FALSE(notifier.TrayShown());
}

TEST_F(MessageFrameTest, APostFromAWorkerThreadStartsTheTimersOnTheWindowThread) {
    constexpr int kPosts = 200;
    std::thread worker([&] {
        for (int i = 0; i < kPosts; ++i)
            frame_->Core().Messages().Post("推送 " + std::to_string(i), 0, sound::Message);
    });
    // The window thread keeps serving while the worker posts.
    ASSERT_TRUE(ServeUntil([&] { return sounds_.Plays().size() == kPosts; }, kWaitMs));
    worker.join();
    QApplication::processEvents();
    EXPECT_EQ(frame_->Core().Messages().Size(), static_cast<std::size_t>(kPosts));
    EXPECT_TRUE(frame_->MessageBlinking());
    // Timers started from the worker would not run at all.
    EXPECT_TRUE(frame_->MessageBlinkTimer()->isActive());
    EXPECT_TRUE(frame_->LoopedSoundTimer()->isActive());
    for (const auto& e : sounds_.Events()) EXPECT_EQ(e.thread, qApp->thread());
    ASSERT_TRUE(ServeUntil([&] { return sounds_.Stops() == 1; }, kWaitMs));
}

// --- The message manager on its own store. ---

void Put32(std::string& out, std::int32_t v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}

// Fills `store` as the start-up load does, from an answer to request 44 carrying `texts` in
// the order the server sends them.
void LoadFromServer(MessageStore& store, const std::vector<std::string>& texts) {
    std::string answer;
    std::int32_t time = 1700000000;
    for (const std::string& text : texts) {
        const std::string gbk = ToAnsi(text);
        Put32(answer, 1);
        Put32(answer, time += 60);
        Put32(answer, static_cast<std::int32_t>(gbk.size()));
        answer += gbk;
    }
    Put32(answer, 0);
    test::ScriptServer server([&answer](Socket& peer, int) {
        RequestHeader h;
        if (test::ScriptServer::ReadHeader(peer, h)) peer.Send(answer.data(), answer.size());
    });
    server.UseAsRequestPort();
    Socket s = ConnectRequestPort();
    ASSERT_TRUE(store.Load(s));
}

std::vector<std::string> Column(const CSortListCtrl& list, int column) {
    std::vector<std::string> cells;
    for (int r = 0; r < list.rowCount(); ++r) cells.push_back(U(list.Cell(r, column)));
    return cells;
}

TEST(MessageManagerTest, ListsTheNewestPostFirstAndTheStartUpMessagesLastInServerOrder) {
    MessageStore store;
    LoadFromServer(store, {"A", "B", "C"});
    store.Post("D", 1700100000, sound::Message);
    store.Post("E", 0, sound::Message);
    CSmsManager manager(store);
    EXPECT_EQ(manager.windowTitle(), QStringLiteral("消息管理器"));
    CSortListCtrl& list = *manager.List();
    ASSERT_EQ(list.columnCount(), 2);
    EXPECT_EQ(list.horizontalHeaderItem(0)->text(), QStringLiteral("时间"));
    EXPECT_EQ(list.horizontalHeaderItem(1)->text(), QStringLiteral("消息内容"));
    EXPECT_EQ(list.columnWidth(0), 150);
    EXPECT_EQ(list.columnWidth(1), 500);
    EXPECT_TRUE(list.showGrid());
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"E", "D", "A", "B", "C"}));
    EXPECT_EQ(U(list.Cell(1, 0)), ChinaTimeStamp(1700100000));
    EXPECT_EQ(U(list.Cell(2, 0)), ChinaTimeStamp(1700000060));
    // A click on a header does not reorder them.
    QHeaderView* header = list.horizontalHeader();
    const QPoint at(header->sectionViewportPosition(1) + 20, header->height() / 2);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(header->viewport(), &click);
    }
    EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"E", "D", "A", "B", "C"}));
    EXPECT_TRUE(manager.TextField()->isReadOnly());
    EXPECT_EQ(manager.CloseButton()->text(), QStringLiteral("关闭"));
}

TEST(MessageManagerTest, ASelectedRowShowsItsFullTextAndTheRefillDropsOnlyTheSelection) {
    MessageStore store;
    const std::string longText =
        std::string(400, 'x') + "\n第二行 <b>不是粗体</b> &amp; " + std::string(300, 'y');
    store.Post(longText, 0, sound::Message);
    store.Post("短", 0, sound::Message);
    CSmsManager manager(store);
    QTimer* refill = manager.RefillTimer();
    EXPECT_TRUE(refill->isActive());
    EXPECT_EQ(refill->interval(), CSmsManager::kRefillMs);
    EXPECT_TRUE(manager.TextField()->toPlainText().isEmpty());

    manager.List()->selectRow(1);
    // The text as sent, markup and all, not the elided cell.
    EXPECT_EQ(U(manager.TextField()->toPlainText()), longText);
    manager.List()->selectRow(0);
    EXPECT_EQ(U(manager.TextField()->toPlainText()), "短");
    manager.List()->selectRow(1);

    store.Post("新", 0, sound::Message);
    ASSERT_TRUE(QMetaObject::invokeMethod(refill, "timeout"));
    EXPECT_EQ(manager.List()->rowCount(), 3);
    EXPECT_EQ(U(manager.List()->Cell(0, 1)), "新");
    EXPECT_TRUE(manager.List()->selectionModel()->selectedRows().isEmpty());
    EXPECT_EQ(U(manager.TextField()->toPlainText()), longText);
}

// --- The clips. ---

struct WaveClip {
    std::uint16_t format = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    std::vector<std::int16_t> samples;
};

// Reads a wave file with the plain 44-byte header the clips are written with; nothing when the
// header is not that or the data is cut short.
std::optional<WaveClip> ReadWave(const QByteArray& bytes) {
    auto at = [&](qsizetype i, auto v) {
        std::memcpy(&v, bytes.constData() + i, sizeof v);
        return v;
    };
    if (bytes.size() < 44 || !bytes.startsWith("RIFF") || bytes.mid(8, 8) != "WAVEfmt " ||
        bytes.mid(36, 4) != "data")
        return std::nullopt;
    const std::uint32_t size = at(40, std::uint32_t{});
    if (44 + static_cast<qsizetype>(size) > bytes.size()) return std::nullopt;
    WaveClip clip{at(20, std::uint16_t{}), at(22, std::uint16_t{}), at(34, std::uint16_t{}),
                  at(24, std::uint32_t{}), std::vector<std::int16_t>(size / 2)};
    std::memcpy(clip.samples.data(), bytes.constData() + 44, clip.samples.size() * 2);
    return clip;
}

TEST(SoundClipTest, EveryClipIsAShortQuietMonoWaveThatFadesInAndOut) {
    for (int id : {sound::Message, sound::Trade, sound::Trigger, sound::Alert}) {
        SCOPED_TRACE(id);
        QFile file(SoundResourcePath(id));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const std::optional<WaveClip> clip = ReadWave(file.readAll());
        ASSERT_TRUE(clip.has_value());
        EXPECT_EQ(clip->format, 1);  // PCM
        EXPECT_EQ(clip->channels, 1);
        EXPECT_EQ(clip->bits, 16);
        EXPECT_EQ(clip->rate, 22050u);
        ASSERT_FALSE(clip->samples.empty());
        EXPECT_LT(clip->samples.size(), 22050u);  // under a second
        int peak = 0;
        for (std::int16_t s : clip->samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_GT(peak, 32767 / 10);      // audible
        EXPECT_LT(peak, 32767 * 6 / 10);  // never near full scale
        // Silence at both ends: no click when it starts, stops or loops.
        EXPECT_LT(std::abs(clip->samples.front()), 32767 / 100);
        EXPECT_LT(std::abs(clip->samples.back()), 32767 / 100);
    }
}

// The warnings logged while it exists (instead of printing them).
class WarningLog {
  public:
    WarningLog() {
        current_ = this;
        previous_ = qInstallMessageHandler(Collect);
    }
    ~WarningLog() {
        qInstallMessageHandler(previous_);
        current_ = nullptr;
    }
    WarningLog(const WarningLog&) = delete;
    WarningLog& operator=(const WarningLog&) = delete;
    const std::vector<QString>& Texts() const { return texts_; }

  private:
    static void Collect(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (current_ && type != QtDebugMsg && type != QtInfoMsg) current_->texts_.push_back(text);
    }
    static inline WarningLog* current_ = nullptr;
    QtMessageHandler previous_ = nullptr;
    std::vector<QString> texts_;
};

TEST(SoundClipTest, TheDefaultOutputPlaysAndStopsWithoutComplaint) {
    WarningLog warnings;
    QtBridge bridge;
    for (int id : {sound::Message, sound::Trade, sound::Trigger, sound::Alert})
        bridge.PlaySound(id, id == sound::Message || id == sound::Alert);
    bridge.PlaySound(12345, false);  // no such clip: nothing
    bridge.StopSounds();
    QApplication::processEvents();
    EXPECT_TRUE(warnings.Texts().empty()) << U(warnings.Texts().front());
}

TEST(SoundClipTest, EveryClipDecodes) {
    // A bare QSoundEffect complains on a machine without audio; the clips decode anyway.
    WarningLog warnings;
    for (int id : {sound::Message, sound::Trade, sound::Trigger, sound::Alert}) {
        SCOPED_TRACE(id);
        QSoundEffect effect;
        effect.setSource(QUrl(QStringLiteral("qrc") + SoundResourcePath(id)));
        ASSERT_TRUE(ServeUntil(
            [&] {
                return effect.status() == QSoundEffect::Ready ||
                       effect.status() == QSoundEffect::Error;
            },
            kWaitMs));
        EXPECT_EQ(effect.status(), QSoundEffect::Ready);
    }
}

}  // namespace
}  // namespace zq
