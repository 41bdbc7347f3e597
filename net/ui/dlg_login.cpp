#include "net/ui/dlg_login.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include "app/settings_block.h"
#include "app/ui/single_instance.h"
#include "base/config.h"
#include "net/machine_id.h"
#include "net/wire/ansi_text.h"
#include "net/wire/request.h"
#include "net/wire/session.h"
#include "widgets/ui/busy_operation.h"
#include "widgets/ui/control_name.h"
#include "widgets/ui/qt_bridge.h"

namespace zq {
namespace {

constexpr const char* kCommandFailedText = "命令传输失败，操作已取消";
constexpr const char* kContentFailedText = "内容传输失败，操作已取消";
constexpr const char* kLoginFailedText = "登录请求失败，操作已取消";

}  // namespace

QImage VerificationQImage(const VerificationImage& image) {
    QImage out(kVerifyWidth, kVerifyHeight, QImage::Format_RGB32);
    for (int y = 0; y < kVerifyHeight; ++y) {
        // Rows are stored bottom-up.
        const std::uint8_t* row = image.pixels.data() + (kVerifyHeight - 1 - y) * kVerifyStride;
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < kVerifyWidth; ++x)
            line[x] = qRgb(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]);
    }
    return out;
}

CDlgLogin::CDlgLogin(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("登录到ZelvanQuorvex"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.png")));
    MarkInstanceWindow(this);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(18, 16, 18, 14);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(9);

    name_ = new QLineEdit(this);
    name_->setObjectName(ControlName(dlg_login::kMemberName));
    name_->setMaxLength(20);
    password_ = new QLineEdit(this);
    password_->setObjectName(ControlName(dlg_login::kPassword));
    password_->setMaxLength(20);
    password_->setEchoMode(QLineEdit::Password);
    code_ = new QLineEdit(this);
    code_->setObjectName(ControlName(dlg_login::kCode));
    code_->setMaxLength(4);
    code_->setFixedWidth(64);

    // The frame only marks where the image goes; the dialog paints the image into it.
    frame_ = new QWidget(this);
    frame_->setObjectName(ControlName(dlg_login::kImageFrame));
    frame_->setFixedSize(kVerifyWidth * 2, kVerifyHeight * 2 - 6);
    frame_->setAttribute(Qt::WA_TransparentForMouseEvents);

    auto* newImage = new QPushButton(QStringLiteral("换一个"), this);
    newImage->setObjectName(ControlName(dlg_login::kNewImage));
    newImage->setAutoDefault(false);
    login_ = new QPushButton(QStringLiteral("登录"), this);
    login_->setObjectName(ControlName(dlg_login::kLogin));
    login_->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(ControlName(dlg_login::kCancel));
    cancel->setAutoDefault(false);

    grid->addWidget(new QLabel(QStringLiteral("用户名"), this), 0, 0);
    grid->addWidget(name_, 0, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("密码"), this), 1, 0);
    grid->addWidget(password_, 1, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("验证码"), this), 2, 0);
    grid->addWidget(code_, 2, 1);
    grid->addWidget(frame_, 2, 2);
    grid->addWidget(newImage, 2, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(login_);
    buttons->addWidget(cancel);
    grid->addLayout(buttons, 3, 0, 1, 4);
    setFixedSize(sizeHint().expandedTo(QSize(300, 0)));

    connect(newImage, &QPushButton::clicked, this, &CDlgLogin::FetchImage);
    connect(login_, &QPushButton::clicked, this, &CDlgLogin::OnLogin);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    name_->setText(Q(StoredMemberName(ReadSettings())));
    if (name_->text().isEmpty())
        name_->setFocus();
    else
        password_->setFocus();

    timer_ = new QTimer(this);
    timer_->setInterval(50);
    connect(timer_, &QTimer::timeout, this, &CDlgLogin::OnFirstTick);
    timer_->start();
}

void CDlgLogin::OnFirstTick() {
    timer_->stop();
    if (CheckVersion()) return;
    FetchImage();
}

bool CDlgLogin::CheckVersion() {
    // Each exchange of the dialog runs on a worker while the dialog waits busy.
    std::optional<std::int32_t> version;
    if (!RunBusy(this, [&] { version = QueryServerVersion(); })) return true;
    if (!version || *version == ProgramVersion) return false;
    WindowHandle owner = OwnerHandle(this);
    if (ShowMessage(owner, "检测到软件更新，是否现在下载？", MsgButtons::YesNo,
                    MsgIcon::Question) == IdYes) {
        Ui().OpenUrl(WebAddress(kInstallerPagePath));
        reject();
        return true;
    }
    return false;
}

void CDlgLogin::FetchImage() {
    WindowHandle owner = OwnerHandle(this);
    ExchangeStatus status = ExchangeStatus::ConnectFailed;
    VerificationImage image = image_;
    if (!RunBusy(this, [&] { status = FetchVerificationImage(image); })) return;
    image_ = image;
    switch (status) {
        case ExchangeStatus::Ok:
            break;
        case ExchangeStatus::ConnectFailed:
            ShowMessage(owner, kConnectFailedText);
            break;
        case ExchangeStatus::SendFailed:
            ShowMessage(owner, kCommandFailedText);
            break;
        case ExchangeStatus::ShortAnswer:
            ShowMessage(owner, kContentFailedText);
            break;
    }
    update(frame_->geometry());
}

void CDlgLogin::FocusCode() {
    // Selected, so that the next code typed replaces the refused one.
    code_->setFocus();
    code_->selectAll();
}

void CDlgLogin::OnLogin() {
    WindowHandle owner = OwnerHandle(this);
    const QString name = name_->text();
    const QString password = password_->text();
    const QString code = code_->text();
    if (name.isEmpty()) {
        ShowMessage(owner, "请填写会员名", MsgButtons::Ok, MsgIcon::Information);
        name_->setFocus();
        return;
    }
    if (password.isEmpty()) {
        ShowMessage(owner, "请填写密码", MsgButtons::Ok, MsgIcon::Information);
        password_->setFocus();
        return;
    }
    const std::string nameAnsi = ToAnsi(U(name));
    const std::string codeAnsi = ToAnsi(U(code));
    LoginRequest request = MakeLoginRequest(nameAnsi, ToAnsi(U(password)), codeAnsi, image_.key,
                                            AdapterIdText(), ProcessorIdText());
    if (code.isEmpty() || codeAnsi.size() != 4) {
        ShowMessage(owner, "请填写正确的验证码", MsgButtons::Ok, MsgIcon::Information);
        FetchImage();
        FocusCode();
        return;
    }

    LoginOutcome outcome;
    if (!RunBusy(this, [&] { outcome = SendLogin(request); })) return;
    switch (outcome.status) {
        case ExchangeStatus::ConnectFailed:
            ShowMessage(owner, kConnectFailedText);
            return;
        case ExchangeStatus::SendFailed:
        case ExchangeStatus::ShortAnswer:
            ShowMessage(owner, kLoginFailedText);
            return;
        case ExchangeStatus::Ok:
            break;
    }

    const std::int32_t result = outcome.reply.result;
    if (LoginSucceeded(result)) {
        SessionValues& s = Session();
        for (int i = 0; i < 4; ++i) s.sessionKey[i] = image_.key[i];
        s.memberName = U(name);
        s.accountClass = outcome.reply.accountClass;
        s.programTrading = outcome.reply.programTrading;
        SaveMemberName(s.memberName);
        accept();
        return;
    }

    ShowMessage(owner, LoginFailureText(result));
    switch (result) {
        case login::BadCredentials:
        case login::StateLocked:
        case login::StateSuspended:
        case login::StateClosed:
            name_->setFocus();
            break;
        case login::BadCode:
            FocusCode();
            break;
        default:
            break;
    }
    FetchImage();
}

void CDlgLogin::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter p(this);
    p.drawImage(frame_->geometry(), VerificationQImage(image_));
}

}  // namespace zq
