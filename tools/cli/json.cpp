#include "json.h"

#include <cstdio>

namespace cli {

std::string JsonWriter::quote(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    // Bytes outside printable ASCII are written as code points of their own
                    // value, so that any byte of a field survives as valid JSON.
                    char esc[8];
                    snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            out_ << ", ";
        first_.back() = false;
    }
}

JsonWriter &JsonWriter::begin_object() {
    before_value();
    out_ << '{';
    first_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::close(char bracket) {
    first_.pop_back();
    out_ << bracket;
    return *this;
}

JsonWriter &JsonWriter::end_object() {
    return close('}');
}

JsonWriter &JsonWriter::begin_array() {
    before_value();
    out_ << '[';
    first_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::end_array() {
    return close(']');
}

JsonWriter &JsonWriter::key(const std::string &name) {
    before_value();
    out_ << quote(name) << ": ";
    after_key_ = true;
    return *this;
}

JsonWriter &JsonWriter::value(const std::string &text) {
    before_value();
    out_ << quote(text);
    return *this;
}

JsonWriter &JsonWriter::value(int64_t number) {
    before_value();
    out_ << number;
    return *this;
}

JsonWriter &JsonWriter::value(bool flag) {
    before_value();
    out_ << (flag ? "true" : "false");
    return *this;
}

JsonWriter &JsonWriter::null() {
    before_value();
    out_ << "null";
    return *this;
}

}  // namespace cli
