#include "platform/linux/host/qtkeychain_keyring.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

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

Keyring::Status statusOf(QKeychain::Error error) {
  switch (error) {
    case QKeychain::NoError: return Keyring::Status::ok;
    case QKeychain::EntryNotFound: return Keyring::Status::notFound;
    // The service answered and kept the item locked: its prompt was dismissed.
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied: return Keyring::Status::refused;
    default: return Keyring::Status::failed;
  }
}

}  // namespace

// Where answers land, on the keyring's own thread. The continuations stay
// here, so they are run and destroyed on that thread only; the worker posts
// plain outcomes to `receiver`, under the outbox's lock, and only while it
// exists (a queued call to a destroyed QObject is dropped with it).
class QtKeychainKeyring::Mailbox {
 public:
  using Continuation = std::function<void(Outcome)>;

  Mailbox() : receiver_(std::make_unique<QObject>()), outbox_(std::make_shared<Outbox>()) {
    outbox_->receiver = receiver_.get();
    outbox_->mailbox = this;
  }
  ~Mailbox() {
    const std::lock_guard guard(outbox_->lock);
    outbox_->receiver = nullptr;
    receiver_.reset();
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // Runs the job `make` creates on the keyring thread; `then` gets its outcome here.
  void run(std::function<QKeychain::Job*()> make, Continuation then) {
    const std::uint64_t id = next_++;
    waiting_.emplace(id, std::move(then));
    QMetaObject::invokeMethod(
        &KeyringThread::instance().context(),
        [outbox = outbox_, id, make = std::move(make)] {
          QKeychain::Job* job = make();
          job->setAutoDelete(true);  // deleted by QtKeychain after `finished`
          job->setInsecureFallback(false);
          job->setKey(kAccount);
          QObject::connect(job, &QKeychain::Job::finished, job, [outbox, id](QKeychain::Job* done) {
            Outcome outcome{done->error(), {}};
            if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done)) outcome.data = read->binaryData();
            outbox->post(id, std::move(outcome));
          });
          job->start();
        },
        Qt::QueuedConnection);
  }

 private:
  // Shared with the worker's pending jobs, which may outlive the mailbox.
  struct Outbox {
    std::mutex lock;
    QObject* receiver = nullptr;  // guarded by lock; null once the mailbox is gone
    Mailbox* mailbox = nullptr;   // read on the keyring's thread only while receiver lives

    // Worker thread.
    void post(std::uint64_t id, Outcome outcome) {
      const std::lock_guard guard(lock);
      if (!receiver) return;
      QMetaObject::invokeMethod(
          receiver,
          [box = mailbox, id, outcome = std::move(outcome)]() mutable { box->deliver(id, std::move(outcome)); },
          Qt::QueuedConnection);
    }
  };

  void deliver(std::uint64_t id, Outcome outcome) {
    auto found = waiting_.find(id);
    if (found == waiting_.end()) return;
    Continuation then = std::move(found->second);
    waiting_.erase(found);
    then(std::move(outcome));
  }

  std::unique_ptr<QObject> receiver_;
  std::shared_ptr<Outbox> outbox_;
  std::map<std::uint64_t, Continuation> waiting_;
  std::uint64_t next_ = 0;
};

QtKeychainKeyring::QtKeychainKeyring() : mailbox_(std::make_unique<Mailbox>()) {}

QtKeychainKeyring::~QtKeychainKeyring() = default;

void QtKeychainKeyring::read(ReadDone done) {
  mailbox_->run([] { return new QKeychain::ReadPasswordJob(kService); },
                [done = std::move(done)](const Outcome& outcome) {
                  ReadResult result{statusOf(outcome.error), {}};
                  if (result.status == Status::ok) result.secret = outcome.data.toStdString();
                  done(std::move(result));
                });
}

void QtKeychainKeyring::write(const std::string& secret, Done done) {
  const QString text = QString::fromStdString(secret);
  mailbox_->run(
      [text] {
        auto* job = new QKeychain::WritePasswordJob(kService);
        job->setTextData(text);
        return job;
      },
      [done = std::move(done)](const Outcome& outcome) { done(statusOf(outcome.error)); });
}

void QtKeychainKeyring::remove(Done done) {
  mailbox_->run([] { return new QKeychain::DeletePasswordJob(kService); },
                [done = std::move(done)](const Outcome& outcome) { done(statusOf(outcome.error)); });
}

}  // namespace qx::host
