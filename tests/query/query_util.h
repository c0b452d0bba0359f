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

// A client of a message channel that sends raw records and reads raw replies.
class RawClient {
  public:
    // Connects to the socket at PATH; connected() tells whether that worked.
    explicit RawClient(const std::string &path);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;
    bool connected() const { return fd_ >= 0; }

    bool send(const void *bytes, size_t length);
    // Reads one reply: its status and the data after it. False when the connection ended or no
    // reply came within 30 seconds.
    bool receive(int32_t &status, std::vector<uint8_t> &data);
    // Sends a whole message and returns the replied message, or null with STATUS set.
    std::unique_ptr<tz_cli_msg> ask(const tz_cli_msg &msg, int32_t *status = nullptr);

  private:
    int fd_ = -1;
};

// The query service alone (the CLI thread of tzd in the test server program) with its own
// runtime directory and zoneinfo root; stopped when the object goes.
class Server {
  public:
    // ZONEINFO empty: TZDIR unset, the system's tree.
    Server(const std::string &program, const std::string &rundir, const std::string &zoneinfo);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    std::string channel() const { return rundir_ + "/dev/tz_cli_msg_transfer"; }
    // Waits until the channel accepts connections.
    bool ready();

  private:
    std::string rundir_;
    int pid_ = -1;
};

// Runs PROGRAM with ARGS and extra environment ("NAME=value" sets, "NAME" unsets); returns the
// exit status with the output.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};
Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &extra_env);

}  // namespace qtest
