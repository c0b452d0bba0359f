// Platform reporting services the service calls: syslog, error records, status texts and trace
// buffers. The platform library (platform/) implements them.
#ifndef PLATFORM_LOG_H
#define PLATFORM_LOG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A message record of an error-record facility. Records cross into the platform's error-message
// library, so the byte layout is fixed: 96 bytes, little-endian, pointers 8 bytes.
typedef struct vel_msg_rec {
    uint64_t reserved0;      // 0
    const char *format;      // 8: printf-style format for the record's arguments
    uint64_t reserved16;     // 16
    const char *facility;    // 24
    const char *group;       // 32
    const char *mnemonic;    // 40
    uint16_t flag;           // 48
    uint16_t severity;       // 50
    uint8_t reserved52[12];  // 52
    uint32_t msg_id;         // 64
    uint8_t reserved68[28];  // 68
} vel_msg_rec;

#ifdef __cplusplus
static_assert(sizeof(vel_msg_rec) == 96);
static_assert(offsetof(vel_msg_rec, format) == 8);
static_assert(offsetof(vel_msg_rec, facility) == 24);
static_assert(offsetof(vel_msg_rec, group) == 32);
static_assert(offsetof(vel_msg_rec, mnemonic) == 40);
static_assert(offsetof(vel_msg_rec, flag) == 48);
static_assert(offsetof(vel_msg_rec, severity) == 50);
static_assert(offsetof(vel_msg_rec, msg_id) == 64);
#endif

// syslog(3) under the program's name; with PLATFORM_LOG_STDERR=1 the line also goes to stderr.
int vk_syslog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Renders the record (facility, group, severity, mnemonic, identifier, the record's format
// applied to the arguments) as one line, to syslog and to $PLATFORM_RUNDIR/records/<program>.log.
int vel_errmsg(const vel_msg_rec *record, int severity, ...);

// Text for a 32-bit status: errno values and the platform's own statuses. Never null; the text
// stays valid for the life of the process.
const char *cerr_strerror(uint32_t status);

// A trace buffer: a bounded ring of lines in a memory-mapped file under $PLATFORM_RUNDIR/ltrace/.
typedef struct ltrace_buf ltrace_buf;

// Opens (creating or reusing) the trace buffer NAME. Returns 0 and the handle, or a non-zero
// status.
uint32_t ltrace_init2(const char *name, int32_t flags, int32_t mode, int32_t lines,
                      int32_t bytes, int32_t options, ltrace_buf **handle);

// Appends one line; a line longer than the buffer's line size is cut.
int32_t _lstrace(ltrace_buf *handle, uint64_t attributes, const char *line);

#ifdef __cplusplus
}
#endif

#endif
