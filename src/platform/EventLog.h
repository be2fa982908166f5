// EventLog.h - the error log of the service: CEventLog is what the service host writes to,
// CSyslogEventLog the real one (syslog, error priority). Tests put a recorder in its place.
#pragma once

#include <string>

class CEventLog {
  public:
    virtual ~CEventLog() = default;
    // One error entry under the source `source`, carrying two strings: a summary line and the
    // text of the failed step. Best effort: a log that cannot be written is passed over.
    virtual void ReportError(const std::string& source, const std::string& line,
                             const std::string& text) = 0;
};

class CSyslogEventLog : public CEventLog {
  public:
    // Opens and closes the log around each entry, as the entries are rare (failures only).
    void ReportError(const std::string& source, const std::string& line,
                     const std::string& text) override;
};
