#pragma once

// One QuorvexHost per user. The start that takes the lock file in the runtime
// directory is the instance; it listens on a local socket beside the lock. A
// later start finds the lock taken, asks the holder over the socket to show its
// settings window (a tray application has nothing else to bring to the front)
// and is told to end before it starts anything. Only the lock holder removes a
// socket file, so a stale one left by a crash never hides a live instance.

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

class QLocalServer;
class QLockFile;

namespace qx::host {

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  enum class Outcome {
    first,       // this process is the instance; showRequested reports later starts
    handedOver,  // the instance was asked to show its window: end now
    noAnswer,    // a live instance holds the lock but did not answer in time: end now
    unguarded,   // no usable lock (no runtime directory, no permission): run without a guard
  };

  // `directory` holds "com.quorvex.host.lock" and "com.quorvex.host.socket";
  // production passes defaultDirectory().
  explicit SingleInstance(QString directory, QObject* parent = nullptr);
  ~SingleInstance() override;

  // $XDG_RUNTIME_DIR, or a private folder of this user's under the temporary
  // directory when that is unset; empty when neither is usable.
  static QString defaultDirectory();

  // Decides, on the main thread before the event loop runs. A start that finds
  // the holder still coming up (locked, not yet listening) or on its way out
  // tries again for up to `patience`.
  Outcome claim(std::chrono::milliseconds patience = std::chrono::seconds(5));

 signals:
  // A later start asked this instance to show its settings window.
  void showRequested();

 private:
  bool askHolderToShow(std::chrono::milliseconds timeout);
  void listen();
  void serve();

  QString directory_;
  // Declared before the server: the socket is closed (and its file removed)
  // while the lock is still held.
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace qx::host
