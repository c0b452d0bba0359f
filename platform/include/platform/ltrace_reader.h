// Reading trace buffers: the rings of lines that ltrace_init2 and _lstrace keep in
// $PLATFORM_RUNDIR/ltrace/<name>. A buffer can be read while its writer runs and after it ended.
//
// File layout (little-endian): a 64-byte header (magic "PLTRACE\0", u32 version 1, u32 header
// size 64, u32 slot size, u32 slot count, u64 index of the next line to write, ...) then the
// slots. A slot holds u64 sequence (index + 1 once written; the top bit is set while a writer
// is filling it), u64 time in nanoseconds since the epoch, then the NUL-terminated text.
// Line I lives in slot I modulo the slot count.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace platform {

struct LtraceEntry {
    uint64_t index = 0;    // position in everything ever written to the buffer, from 0
    uint64_t time_ns = 0;  // CLOCK_REALTIME when written
    std::string text;      // as written, cut to the buffer's line size
};

// The file of trace buffer NAME, or empty when NAME cannot be a buffer name (empty, ".", "..",
// or holding a '/').
std::string ltrace_path(const std::string &name);

// Every complete line of the buffer file at PATH, oldest first. Lines being written at the time
// of reading are left out. False with a reason in ERROR when the file is missing or is not a
// trace buffer.
bool ltrace_read_file(const std::string &path, std::vector<LtraceEntry> &entries,
                      std::string &error);

// The lines of trace buffer NAME, oldest first, each without a trailing line break (so a tool
// prints each followed by one). False with a reason in ERROR.
bool ltrace_read(const std::string &name, std::vector<std::string> &lines, std::string &error);

}  // namespace platform
