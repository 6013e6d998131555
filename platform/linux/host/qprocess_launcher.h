#pragma once

// Launches the media server as a QProcess: standard input from the null
// device, standard output and error merged into one pipe, and a parent-death
// signal so the server never outlives a host that dies. Output arrives on the
// main thread as it is read; the end of the process is delivered as a queued
// call, so it never runs inside waitForFinished.

#include "host/HostServices.h"

namespace qx::host {

class QProcessLauncher final : public ProcessLauncher {
 public:
  LaunchResult launch(const LaunchRequest& request, Callbacks callbacks) override;
  void runAndWait(const std::string& program, const std::vector<std::string>& arguments) override;
  bool startDetached(const std::string& program, const std::vector<std::string>& arguments) override;
};

}  // namespace qx::host
