#include "platform/linux/host/syslog_system_log.h"

#include <syslog.h>

namespace qx::host {

SyslogSystemLog::SyslogSystemLog() { ::openlog("QuorvexHost", LOG_PID | LOG_PERROR, LOG_USER); }

SyslogSystemLog::~SyslogSystemLog() { ::closelog(); }

void SyslogSystemLog::write(const std::string& line) { ::syslog(LOG_NOTICE, "%s", line.c_str()); }

}  // namespace qx::host
