// EventLog.cpp - error entries to syslog: ident = the source, one record holding both strings
// so a reader of the journal sees them together.
#include "platform/EventLog.h"

#include <syslog.h>

void CSyslogEventLog::ReportError(const std::string& source, const std::string& line,
                                  const std::string& text) {
    // openlog keeps the ident pointer; `source` outlives the closelog below.
    ::openlog(source.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    ::syslog(LOG_ERR, "%s: %s", line.c_str(), text.c_str());
    ::closelog();
}
