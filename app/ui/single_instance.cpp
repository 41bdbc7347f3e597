#include "app/ui/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <cerrno>

namespace zq {
namespace {
constexpr int kWaitMs = 2000;
}

void MarkInstanceWindow(QWidget* window) {
    if (window) window->setProperty(kInstanceProperty, 1);
}

QWidget* FindMarkedWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->property(kInstanceProperty).toInt() == 1) return w;
    }
    return nullptr;
}

SingleInstanceGuard::SingleInstanceGuard(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
    if (name_.isEmpty())
        name_ = QStringLiteral("%1-%2").arg(QLatin1String(kInstanceMutexName)).arg(::getuid());
    dir_ = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir_.isEmpty() || !QFileInfo(dir_).isDir()) dir_ = QDir::tempPath();
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (server_) server_->close();
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

QString SingleInstanceGuard::SocketPath() const {
    return dir_ + QLatin1Char('/') + name_;
}

QString SingleInstanceGuard::LockPath() const {
    return SocketPath() + QStringLiteral(".lock");
}

void SingleInstanceGuard::Listen() {
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours, so a name still on the file system is left by a copy that ended.
    const QString path = SocketPath();
    if (!server->listen(path)) {
        QLocalServer::removeServer(path);
        if (!server->listen(path)) {
            delete server;
            return;  // no raising of this copy's window, but it still is the only copy
        }
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, &SingleInstanceGuard::OnConnection);
}

SingleInstanceGuard::Outcome SingleInstanceGuard::Acquire() {
    if (lockFd_ >= 0) return Outcome::First;
    const QByteArray path = QFile::encodeName(LockPath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // No lock file to be had: nothing tells another copy from this one, so this one runs.
        Listen();
        return Outcome::First;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r == 0) {
        lockFd_ = fd;
        Listen();
        return Outcome::First;
    }
    ::close(fd);

    // Another copy holds the lock: ask it for its marked window. The holder may still be
    // starting (its server not yet listening) or busy; either way this copy ends.
    QLocalSocket probe;
    probe.connectToServer(SocketPath());
    if (!probe.waitForConnected(kWaitMs)) return Outcome::NoWindow;
    probe.write("activate\n");
    probe.flush();
    QByteArray answer;
    while (!answer.contains('\n') && probe.waitForReadyRead(kWaitMs)) answer += probe.readAll();
    probe.disconnectFromServer();
    return answer.startsWith('1') ? Outcome::Activated : Outcome::NoWindow;
}

void SingleInstanceGuard::OnConnection() {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, peer, [peer] {
            if (!peer->canReadLine()) return;
            peer->readLine();
            QWidget* w = FindMarkedWindow();
            if (w) {
                if (w->isMinimized())
                    w->showNormal();
                else
                    w->show();
                w->raise();
                w->activateWindow();
            }
            peer->write(w ? "1\n" : "0\n");
            peer->flush();
        });
    }
}

}  // namespace zq
