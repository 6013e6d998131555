#include "platform/linux/host/single_instance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <algorithm>

namespace qx::host {
namespace {

using std::chrono::milliseconds;

const QString kLockName = QStringLiteral("com.quorvex.host.lock");
const QString kSocketName = QStringLiteral("com.quorvex.host.socket");
const QByteArray kShow = QByteArrayLiteral("show\n");
const QByteArray kShown = QByteArrayLiteral("ok\n");

// How long one hand-over may take, and the pause between attempts while the
// holder is not listening yet.
constexpr milliseconds kAnswerTimeout{2000};
constexpr milliseconds kRetryPause{100};

}  // namespace

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultDirectory() {
  // Qt creates the fallback (<tmp>/runtime-<user>) with mode 0700 and refuses
  // one that another user owns.
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::Outcome SingleInstance::claim(milliseconds patience) {
  if (directory_.isEmpty()) return Outcome::unguarded;
  lock_ = std::make_unique<QLockFile>(directory_ + '/' + kLockName);
  // The holder runs for days: only a dead holder makes the lock stale.
  lock_->setStaleLockTime(0);

  const QDeadlineTimer deadline(patience);
  milliseconds wait{0};
  for (;;) {
    if (lock_->tryLock(static_cast<int>(wait.count()))) {
      listen();
      return Outcome::first;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
      lock_.reset();
      return Outcome::unguarded;
    }
    if (askHolderToShow(std::min(kAnswerTimeout, milliseconds(std::max<qint64>(deadline.remainingTime(), 1))))) {
      lock_.reset();
      return Outcome::handedOver;
    }
    if (deadline.hasExpired()) {
      lock_.reset();
      return Outcome::noAnswer;
    }
    wait = std::min(kRetryPause, milliseconds(deadline.remainingTime()));
  }
}

bool SingleInstance::askHolderToShow(milliseconds timeout) {
  const QDeadlineTimer deadline(timeout);
  QLocalSocket socket;
  socket.connectToServer(directory_ + '/' + kSocketName);
  if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return false;
  socket.write(kShow);
  if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
  QByteArray answer;
  while (!answer.contains('\n')) {
    if (deadline.hasExpired() || !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return false;
    answer += socket.readAll();
  }
  return answer == kShown;
}

void SingleInstance::listen() {
  const QString path = directory_ + '/' + kSocketName;
  // This process holds the lock, so a socket file here belongs to a holder
  // that died.
  QLocalServer::removeServer(path);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::serve);
  if (!server_->listen(path)) {
    qWarning("Quorvex Host: cannot listen on %s: %s", qPrintable(path), qPrintable(server_->errorString()));
  }
}

void SingleInstance::serve() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      // One short request per connection; anything longer is not ours.
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kShow.size()) socket->abort();
        return;
      }
      if (socket->readLine() != kShow) {
        socket->abort();
        return;
      }
      socket->write(kShown);
      socket->flush();
      socket->disconnectFromServer();
      emit showRequested();
    });
  }
}

}  // namespace qx::host
