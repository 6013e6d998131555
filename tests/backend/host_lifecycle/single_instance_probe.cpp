// A start of the host reduced to its single-instance guard, for the race
// tests. It waits for a line on standard input (so several probes can be
// released together), claims, and prints the outcome; the instance then prints
// "show" for each hand-over and ends when standard input closes.
//   single_instance_probe [DIR] [PATIENCE_MS]   DIR empty or absent: the default directory
//   single_instance_probe --hold-lock DIR       takes the lock; listens (answering every
//                                               request) only after a line "listen"

#include <unistd.h>

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "platform/linux/host/single_instance.h"

namespace {

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

const char* name(qx::host::SingleInstance::Outcome outcome) {
  using Outcome = qx::host::SingleInstance::Outcome;
  switch (outcome) {
    case Outcome::first: return "first";
    case Outcome::handedOver: return "handed-over";
    case Outcome::noAnswer: return "no-answer";
    case Outcome::unguarded: return "unguarded";
  }
  return "?";
}

// Quits when standard input reaches its end; hands other input to `onInput`.
void quitAtEndOfInput(
    QCoreApplication& app, std::function<void()> onInput = [] {}) {
  auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier, onInput] {
    char buffer[64];
    if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
      notifier->setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    onInput();
  });
}

// A holder that came up late: it answers every request as an instance would.
void listenLate(const QString& dir) {
  auto* server = new QLocalServer(QCoreApplication::instance());
  QObject::connect(server, &QLocalServer::newConnection, [server] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::readyRead, [socket] {
        if (!socket->canReadLine()) return;
        socket->readLine();
        socket->write("ok\n");
        socket->flush();
        say("show");
      });
    }
  });
  if (!server->listen(dir + "/com.quorvex.host.socket")) say("cannot listen");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  char go[16];
  if (!std::fgets(go, sizeof go, stdin)) return 2;

  if (argc == 3 && std::strcmp(argv[1], "--hold-lock") == 0) {
    const QString dir = QString::fromLocal8Bit(argv[2]);
    QLockFile lock(dir + "/com.quorvex.host.lock");
    if (!lock.tryLock(0)) return 3;
    say("holding");
    quitAtEndOfInput(app, [dir] { listenLate(dir); });
    return QCoreApplication::exec();
  }

  const QString dir =
      argc > 1 && argv[1][0] ? QString::fromLocal8Bit(argv[1]) : qx::host::SingleInstance::defaultDirectory();
  const std::chrono::milliseconds patience(argc > 2 ? std::stoi(argv[2]) : 5000);
  qx::host::SingleInstance guard(dir);
  const auto outcome = guard.claim(patience);
  say(name(outcome));
  if (outcome != qx::host::SingleInstance::Outcome::first) return 0;
  QObject::connect(&guard, &qx::host::SingleInstance::showRequested, [] { say("show"); });
  quitAtEndOfInput(app);
  return QCoreApplication::exec();
}
