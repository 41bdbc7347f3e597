#include "app/ui/single_instance.h"

#include <unistd.h>

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

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
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (server_) server_->close();
}

SingleInstanceGuard::Outcome SingleInstanceGuard::Acquire() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        QLocalSocket probe;
        probe.connectToServer(name_);
        if (probe.waitForConnected(kWaitMs)) {
            // Another copy holds the guard: ask it for its marked window.
            probe.write("activate\n");
            probe.flush();
            QByteArray answer;
            while (!answer.contains('\n') && probe.waitForReadyRead(kWaitMs))
                answer += probe.readAll();
            probe.disconnectFromServer();
            return answer.startsWith('1') ? Outcome::Activated : Outcome::NoWindow;
        }
        auto* server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        if (server->listen(name_)) {
            server_ = server;
            connect(server_, &QLocalServer::newConnection, this,
                    &SingleInstanceGuard::OnConnection);
            return Outcome::First;
        }
        delete server;
        // A name left behind by a copy that died: nobody answers on it, so take it over.
        QLocalServer::removeServer(name_);
    }
    return Outcome::NoWindow;
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
