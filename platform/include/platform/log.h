// Helpers behind the reporting services of platform_log.h, shared by the platform's components.
#pragma once

#include <stdarg.h>

#include <string>
#include <vector>

#include "platform_log.h"

namespace platform {

// printf-style formatting into a string of any length.
std::string vformat(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
std::string format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The line an error record becomes, e.g.
//   "%TZ-OS-3-INTERNAL (0x02470063): Unable to create a msg channel: No such file"
// The record's format is applied to AP; line breaks in the text become spaces and trailing
// blanks are dropped, so a record is always one line.
std::string render_record(const vel_msg_rec &record, int severity, va_list ap);

// The file this program's error records are appended to: $PLATFORM_RUNDIR/records/<program>.log.
// Each line there is "<UTC time> <rendered record>".
std::string records_path();

// A copy of TEXT fit for one log line: control characters become '?', and it is cut to MAX
// bytes with "..." appended when longer.
std::string printable(const std::string &text, size_t max = 256);

// While one lives, the error lines (syslog priority err or worse, and error records) that its
// thread logs are also kept in it, so that a caller can hand on why something failed. Captures
// nest; the innermost one gets the lines.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    // The lines kept so far, joined with "; ", cut to MAX bytes.
    std::string text(size_t max = 2000) const;
    void add(const std::string &line);

  private:
    std::vector<std::string> lines_;
    LogCapture *outer_;
};

}  // namespace platform
