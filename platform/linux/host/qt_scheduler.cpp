#include "platform/linux/host/qt_scheduler.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

namespace qx::host {
namespace {

// Owns one QTimer; cancelling or destroying the handle stops it. A one-shot
// timer deletes itself after it fired, which the QPointer notices.
class TimerWork final : public ScheduledWork {
 public:
  TimerWork(std::chrono::milliseconds delay, bool repeat, std::function<void()> work) : timer_(new QTimer) {
    timer_->setSingleShot(!repeat);
    // Coarse timers may fire up to 5 % early: the 3 s kill check and restart
    // delays must not; the 2 s poll may.
    timer_->setTimerType(repeat ? Qt::CoarseTimer : Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, timer_, [timer = timer_.data(), repeat, work = std::move(work)] {
      if (!repeat) timer->deleteLater();
      work();
    });
    timer_->start(delay);
  }
  ~TimerWork() override {
    // A repeating timer lives as long as its handle; a pending one-shot runs
    // even when the handle is dropped.
    if (timer_ && !timer_->isSingleShot()) timer_->deleteLater();
  }
  void cancel() override {
    if (!timer_) return;
    timer_->stop();
    timer_->deleteLater();
    timer_ = nullptr;
  }

 private:
  QPointer<QTimer> timer_;
};

}  // namespace

std::shared_ptr<ScheduledWork> QtScheduler::after(std::chrono::milliseconds delay, std::function<void()> work) {
  return std::make_shared<TimerWork>(delay, false, std::move(work));
}

std::shared_ptr<ScheduledWork> QtScheduler::every(std::chrono::milliseconds interval, std::function<void()> work) {
  return std::make_shared<TimerWork>(interval, true, std::move(work));
}

void QtScheduler::post(std::function<void()> work) {
  // A queued call is a posted event: first in, first out with the process
  // launcher's queued end notices.
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

}  // namespace qx::host
