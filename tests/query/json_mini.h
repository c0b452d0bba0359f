// A small JSON reader for checking tzctl's --json output in tests. Throws on malformed input, so
// a test that parses an output also checks that it is valid JSON.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace jsonmini {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Value> a;
    std::vector<std::pair<std::string, Value>> o;  // in document order

    const Value &operator[](const std::string &key) const {
        for (auto &[k, v] : o)
            if (k == key)
                return v;
        throw std::runtime_error("no key " + key);
    }
    bool has(const std::string &key) const {
        for (auto &kv : o)
            if (kv.first == key)
                return true;
        return false;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> k;
        for (auto &kv : o)
            k.push_back(kv.first);
        return k;
    }
};

class Parser {
  public:
    explicit Parser(const std::string &text) : t_(text) {}

    Value parse() {
        Value v = value();
        ws();
        if (i_ != t_.size())
            fail("trailing text");
        return v;
    }

  private:
    [[noreturn]] void fail(const std::string &what) {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(i_));
    }
    void ws() {
        while (i_ < t_.size() &&
               (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\t' || t_[i_] == '\r'))
            i_++;
    }
    bool eat(char c) {
        ws();
        if (i_ < t_.size() && t_[i_] == c) {
            i_++;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!eat(c))
            fail(std::string("expected ") + c);
    }
    bool word(const char *w) {
        size_t n = std::char_traits<char>::length(w);
        if (t_.compare(i_, n, w) == 0) {
            i_ += n;
            return true;
        }
        return false;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (i_ < t_.size() && t_[i_] != '"') {
            char c = t_[i_++];
            if (static_cast<unsigned char>(c) < 0x20)
                fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= t_.size())
                fail("bad escape");
            char e = t_[i_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (i_ + 4 > t_.size())
                        fail("bad \\u escape");
                    unsigned cp = std::stoul(t_.substr(i_, 4), nullptr, 16);
                    i_ += 4;
                    out += static_cast<char>(cp);  // tests only meet single bytes
                    break;
                }
                default:
                    fail("bad escape");
            }
        }
        if (i_ >= t_.size())
            fail("unterminated string");
        i_++;
        return out;
    }
    Value value() {
        ws();
        Value v;
        if (i_ >= t_.size())
            fail("unexpected end");
        char c = t_[i_];
        if (c == '{') {
            i_++;
            v.kind = Value::Object;
            if (eat('}'))
                return v;
            do {
                ws();
                std::string k = string();
                expect(':');
                v.o.emplace_back(k, value());
            } while (eat(','));
            expect('}');
        } else if (c == '[') {
            i_++;
            v.kind = Value::Array;
            if (eat(']'))
                return v;
            do
                v.a.push_back(value());
            while (eat(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Value::String;
            v.s = string();
        } else if (word("true")) {
            v.kind = Value::Bool;
            v.b = true;
        } else if (word("false")) {
            v.kind = Value::Bool;
        } else if (word("null")) {
            v.kind = Value::Null;
        } else {
            size_t used = 0;
            try {
                v.n = std::stod(t_.substr(i_), &used);
            } catch (const std::exception &) {
                fail("bad value");
            }
            v.kind = Value::Number;
            i_ += used;
        }
        return v;
    }

    const std::string &t_;
    size_t i_ = 0;
};

inline Value parse(const std::string &text) {
    return Parser(text).parse();
}

}  // namespace jsonmini
