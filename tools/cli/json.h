// A small streaming JSON writer for the tools' --json output: one line (", " and ": " between
// items), keys in the order written, so the output of a command is stable from run to run.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

class JsonWriter {
  public:
    explicit JsonWriter(std::ostream &out) : out_(out) {}
    ~JsonWriter() { out_ << '\n'; }

    JsonWriter &begin_object();
    JsonWriter &end_object();
    JsonWriter &begin_array();
    JsonWriter &end_array();
    JsonWriter &key(const std::string &name);
    JsonWriter &value(const std::string &text);
    JsonWriter &value(const char *text) { return value(std::string(text)); }
    JsonWriter &value(int64_t number);
    JsonWriter &value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter &value(bool flag);
    JsonWriter &null();

    template <typename T>
    JsonWriter &field(const std::string &name, const T &v) {
        key(name);
        return value(v);
    }

    static std::string quote(const std::string &text);

  private:
    void before_value();
    JsonWriter &close(char bracket);

    std::ostream &out_;
    std::vector<bool> first_;  // one per open container: nothing written in it yet
    bool after_key_ = false;
};

}  // namespace cli
