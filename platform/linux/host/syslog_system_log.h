#pragma once

// The host's system-log lines through syslog(3), ident "QuorvexHost", copied
// to standard error, which the desktop session's journal keeps for programs
// it starts (Qt's own logging goes only there on Debian).

#include "host/HostServices.h"

namespace qx::host {

class SyslogSystemLog final : public SystemLog {
 public:
  SyslogSystemLog();
  ~SyslogSystemLog() override;
  SyslogSystemLog(const SyslogSystemLog&) = delete;
  SyslogSystemLog& operator=(const SyslogSystemLog&) = delete;

  void write(const std::string& line) override;
};

}  // namespace qx::host
