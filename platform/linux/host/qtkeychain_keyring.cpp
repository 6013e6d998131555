#include "platform/linux/host/qtkeychain_keyring.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>
#include <future>
#include <memory>

namespace qx::host {
namespace {

const QString kService = QStringLiteral("com.quorvex.host");
const QString kAccount = QStringLiteral("client-token");

struct Outcome {
  QKeychain::Error error = QKeychain::OtherError;
  QByteArray data;
};

// The process's keyring thread. Created on first use and never destroyed: it
// is stopped when the application object goes away, and a QThread destroyed
// while running would abort the process.
class KeyringThread {
 public:
  static KeyringThread& instance() {
    static KeyringThread* const worker = [] {
      auto* created = new KeyringThread;
      qAddPostRoutine(&KeyringThread::stop);
      return created;
    }();
    return *worker;
  }

  // Lives on the worker thread; work queued to it runs there.
  QObject& context() { return context_; }

 private:
  KeyringThread() {
    thread_.setObjectName(QStringLiteral("keyring"));
    context_.moveToThread(&thread_);
    thread_.start();
  }

  static void stop() {
    QThread& thread = instance().thread_;
    thread.quit();
    thread.wait(QDeadlineTimer(2000));
  }

  QThread thread_;
  QObject context_;
};

// Runs the job `make` creates on the keyring thread and waits for its end. The
// promise is shared with the job's completion handler, so a result arriving
// after the time-out lands in a promise nobody waits on.
Outcome run(std::function<QKeychain::Job*()> make, std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> future = promise->get_future();
  QMetaObject::invokeMethod(
      &KeyringThread::instance().context(),
      [promise, make = std::move(make)] {
        QKeychain::Job* job = make();
        job->setAutoDelete(true);  // deleted by QtKeychain after `finished`
        job->setInsecureFallback(false);
        job->setKey(kAccount);
        QObject::connect(job, &QKeychain::Job::finished, job, [promise](QKeychain::Job* done) {
          Outcome outcome{done->error(), {}};
          if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done)) outcome.data = read->binaryData();
          promise->set_value(std::move(outcome));
        });
        job->start();
      },
      Qt::QueuedConnection);
  if (future.wait_for(timeout) != std::future_status::ready) return {};
  return future.get();
}

Keyring::Status statusOf(QKeychain::Error error) {
  switch (error) {
    case QKeychain::NoError: return Keyring::Status::ok;
    case QKeychain::EntryNotFound: return Keyring::Status::notFound;
    default: return Keyring::Status::failed;
  }
}

}  // namespace

QtKeychainKeyring::QtKeychainKeyring(std::chrono::milliseconds timeout) : timeout_(timeout) {}

Keyring::ReadResult QtKeychainKeyring::read() {
  Outcome outcome = run([] { return new QKeychain::ReadPasswordJob(kService); }, timeout_);
  ReadResult result{statusOf(outcome.error), {}};
  if (result.status == Status::ok) result.secret = outcome.data.toStdString();
  return result;
}

Keyring::Status QtKeychainKeyring::write(const std::string& secret) {
  const QString text = QString::fromStdString(secret);
  return statusOf(run(
                      [text] {
                        auto* job = new QKeychain::WritePasswordJob(kService);
                        job->setTextData(text);
                        return job;
                      },
                      timeout_)
                      .error);
}

Keyring::Status QtKeychainKeyring::remove() {
  return statusOf(run([] { return new QKeychain::DeletePasswordJob(kService); }, timeout_).error);
}

}  // namespace qx::host
