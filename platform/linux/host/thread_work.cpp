#include "platform/linux/host/thread_work.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QMetaObject>
#include <QObject>
#include <mutex>
#include <thread>

namespace qx::host {

// The receiver lives on the main thread; a worker posts to it only under the
// lock, and the destructor clears it under the same lock, so nothing is
// posted to a receiver that is gone.
struct ThreadWork::Shared {
  std::mutex mutex;
  QObject* receiver = nullptr;  // guarded by `mutex`
};

namespace {

// Background work yields to the desktop, like a utility queue.
constexpr int workerNice = 10;

}  // namespace

ThreadWork::ThreadWork() : shared_(std::make_shared<Shared>()) { shared_->receiver = new QObject; }

ThreadWork::~ThreadWork() {
  std::lock_guard lock(shared_->mutex);
  delete shared_->receiver;
  shared_->receiver = nullptr;
}

void ThreadWork::run(std::function<Continuation()> job) {
  std::thread([shared = shared_, job = std::move(job)] {
    // On Linux the nice value is per thread; children started here inherit it.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), workerNice);
    Continuation continuation = job();
    std::lock_guard lock(shared->mutex);
    if (shared->receiver == nullptr || !continuation) return;
    QMetaObject::invokeMethod(shared->receiver, std::move(continuation), Qt::QueuedConnection);
  }).detach();
}

}  // namespace qx::host
