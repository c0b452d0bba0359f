// Helpers shared by the query tests: temporary zoneinfo trees, query messages with a known byte
// pattern, and reading the fields of a reply.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tz_cli_msg.h"

namespace qtest {

// A temporary directory, removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Copies the system zone file NAME (e.g. "Europe/Paris") to ROOT/NAME, creating directories.
void copy_zone(const std::string &root, const std::string &name);
// Writes TEXT into ROOT/NAME, creating directories.
void write_file(const std::string &root, const std::string &name, const std::string &text);

// A message whose every byte holds a pattern that no operation writes by chance, with the given
// type word.
std::unique_ptr<tz_cli_msg> patterned_msg(uint16_t type_word);
inline uint8_t pattern_byte(size_t offset) {
    return uint8_t(0xA5 ^ (offset * 13));
}

// The message carried by a reply's bytes.
std::unique_ptr<tz_cli_msg> as_msg(const std::vector<uint8_t> &bytes);

inline std::string text(const char *field, size_t width) {
    return std::string(field, tz_msg_text_len(field, width));
}
inline const uint8_t *bytes_of(const tz_cli_msg &m) {
    return reinterpret_cast<const uint8_t *>(&m);
}

// Runs PROGRAM with ARGS and extra environment; returns the exit status with the output.
struct Run {
    int status = -1;
    std::string out;
    std::string err;
};
Run run_program(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &extra_env);

}  // namespace qtest
