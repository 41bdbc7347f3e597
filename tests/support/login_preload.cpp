// Loaded into an unmodified client with LD_PRELOAD, this logs it in through its own login
// dialog, as a person would: ZQ_TEST_LOGIN holds "member password code". Once the dialog's
// first tick has fetched the verification image (its start timer has stopped), the member,
// password and code are typed in and "登录" is pressed. Any message box is reported on stderr
// and closed; a failed login fetches a new image and is tried again a few times.
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {

// The login dialog's control names ("ctl" and the control id).
const char* const kMemberName = "ctl1014";
const char* const kPassword = "ctl1015";
const char* const kLogin = "ctl1016";
const char* const kCode = "ctl1017";
constexpr int kMaxAttempts = 5;

QStringList g_login;
int g_attempts = 0;

void Note(const QString& text) {
    std::fprintf(stderr, "login-preload: %s\n", qPrintable(text));
}

void Look() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        Note(QStringLiteral("message box \"%1\"").arg(box->text()));
        box->accept();
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        auto* name = dialog->findChild<QLineEdit*>(QLatin1String(kMemberName));
        auto* login = dialog->findChild<QPushButton*>(QLatin1String(kLogin));
        bool starting = false;
        for (QTimer* t : dialog->findChildren<QTimer*>()) starting = starting || t->isActive();
        if (name && login && !starting) {
            if (g_attempts++ >= kMaxAttempts) {
                Note(QStringLiteral("giving up"));
                return;
            }
            name->setText(g_login[0]);
            dialog->findChild<QLineEdit*>(QLatin1String(kPassword))->setText(g_login[1]);
            dialog->findChild<QLineEdit*>(QLatin1String(kCode))->setText(g_login[2]);
            Note(QStringLiteral("logging in as %1").arg(g_login[0]));
            login->click();  // returns once the answer is in
        }
    }
    QTimer::singleShot(100, Look);
}

void Start() {
    const char* spec = std::getenv("ZQ_TEST_LOGIN");
    g_login = QString::fromUtf8(spec ? spec : "").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (g_login.size() != 3) {
        Note(QStringLiteral("ZQ_TEST_LOGIN needs \"member password code\""));
        return;
    }
    QTimer::singleShot(100, Look);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Start)
