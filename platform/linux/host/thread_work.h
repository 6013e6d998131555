#pragma once

// Background work on threads of its own: each job runs on a new thread at a
// lowered priority (the updater it starts inherits it), and what it returns
// is queued to the thread that created this object, which runs the Qt event
// loop. Continuations still queued when this object goes are dropped.

#include <memory>

#include "host/UpdateServices.h"

class QObject;

namespace qx::host {

class ThreadWork final : public BackgroundWork {
 public:
  ThreadWork();
  ~ThreadWork() override;
  ThreadWork(const ThreadWork&) = delete;
  ThreadWork& operator=(const ThreadWork&) = delete;

  void run(std::function<Continuation()> job) override;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qx::host
