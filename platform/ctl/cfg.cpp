// platformctl cfg: commit, delete, read and list configuration items.
#include <ctype.h>
#include <stdio.h>

#include <iostream>

#include "ctl.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace platformctl {
namespace {

// A commit waits behind earlier ones and for the verifier (verify and apply, each bounded by
// platformd); this only guards against a daemon that stops answering altogether.
constexpr int COMMIT_TIMEOUT_MS = 120000;

bool path_arg(const std::string &group, const std::string &name, const std::string &path, int &rc) {
    if (proto::cfg_path_ok(path))
        return true;
    rc = usage_error(group, name, "'" + path + "' is not an item path (it must begin with '/')");
    return false;
}

// A string as the shell would read it back: bare when it is plain, else in single quotes.
std::string quoted(const std::string &s) {
    bool plain = !s.empty();
    for (char c : s)
        if (!(isalnum(uint8_t(c)) || std::string("_./:+-,@%=").find(c) != std::string::npos))
            plain = false;
    if (plain)
        return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool print_value(const std::vector<uint8_t> &value, std::string &line) {
    auto strings = platform::tuple_strings(value.data(), value.size());
    if (!strings)
        return false;
    for (size_t i = 0; i < strings->size(); i++)
        line += (i ? " " : "") + quoted((*strings)[i]);
    return true;
}

// The tuple of strings as a JSON array, or null when it is not one.
void write_value(cli::JsonWriter &j, const std::vector<uint8_t> &value) {
    auto strings = platform::tuple_strings(value.data(), value.size());
    if (!strings) {
        j.null();
        return;
    }
    j.begin_array();
    for (auto &s : *strings)
        j.value(s);
    j.end_array();
}

int commit(const std::string &path, uint32_t flags, const std::vector<uint8_t> &value) {
    proto::Writer w;
    w.str(path).u32(flags).bytes(value);
    std::string message;
    std::vector<uint8_t> body;
    return request(proto::T_CFG_COMMIT, w, message, body, nullptr, COMMIT_TIMEOUT_MS);
}

int set(const std::vector<std::string> &args) {
    int rc;
    if (args.size() < 2)
        return usage_error("cfg", "set", "cfg set needs a path and at least one string");
    if (!path_arg("cfg", "set", args[0], rc))
        return rc;
    std::vector<std::string> strings(args.begin() + 1, args.end());
    std::vector<uint8_t> value = platform::tuple_pack_strings(strings);
    if (value.size() > platform::TUPLE_MAX_BYTES || value.size() > proto::MAX_PAYLOAD / 2)
        return usage_error("cfg", "set", "the value is too long");
    return commit(args[0], 0, value);
}

int del(const std::vector<std::string> &args) {
    int rc;
    if (args.size() != 1)
        return usage_error("cfg", "delete", "cfg delete needs exactly one path");
    if (!path_arg("cfg", "delete", args[0], rc))
        return rc;
    return commit(args[0], proto::ITEM_DELETE, {});
}

int get(const std::vector<std::string> &args) {
    int rc;
    if (args.size() != 1)
        return usage_error("cfg", "get", "cfg get needs exactly one path");
    if (!path_arg("cfg", "get", args[0], rc))
        return rc;
    proto::Writer w;
    w.str(args[0]);
    std::string message;
    std::vector<uint8_t> body;
    rc = request(proto::T_CFG_GET, w, message, body);
    if (rc != EXIT_OK)
        return rc;
    proto::Reader r(body);
    uint64_t sequence = 0;
    std::vector<uint8_t> value;
    std::string line;
    if (!r.u64(sequence) || !r.bytes(value) || !r.at_end() || !print_value(value, line))
        return fail(EXIT_FAILED, "malformed answer from platformd");
    if (json_output()) {
        cli::JsonWriter j(std::cout);
        j.begin_object().field("path", args[0]).field("sequence", int64_t(sequence));
        write_value(j.key("value"), value);
        j.end_object();
        return EXIT_OK;
    }
    printf("%s\n", line.c_str());
    return EXIT_OK;
}

int list(const std::vector<std::string> &args) {
    if (args.size() > 1)
        return usage_error("cfg", "list", "cfg list takes at most one prefix");
    std::string prefix = args.empty() ? std::string() : args[0];
    std::string after;
    // The JSON object is written once every page has arrived, so that a failure part-way
    // leaves no half object on standard output.
    std::vector<proto::CfgEntry> all;
    for (;;) {
        proto::Writer w;
        w.str(prefix).str(after);
        std::string message;
        std::vector<uint8_t> body;
        int rc = request(proto::T_CFG_LIST, w, message, body);
        if (rc != EXIT_OK)
            return rc;
        proto::Reader r(body);
        std::vector<proto::CfgEntry> page;
        bool more = false;
        if (!proto::cfg_read_page(r, page, more))
            return fail(EXIT_FAILED, "malformed answer from platformd");
        for (auto &e : page) {
            std::string line = e.path + " ";
            if (!print_value(e.value, line))
                line = e.path + " (malformed value)";
            if (!json_output())
                printf("%s\n", line.c_str());
        }
        if (json_output())
            all.insert(all.end(), page.begin(), page.end());
        if (!more || page.empty())
            break;
        after = page.back().path;
    }
    if (json_output()) {
        cli::JsonWriter j(std::cout);
        j.begin_object().field("prefix", prefix).key("items").begin_array();
        for (auto &e : all) {
            j.begin_object().field("path", e.path).field("sequence", int64_t(e.sequence));
            write_value(j.key("value"), e.value);
            j.end_object();
        }
        j.end_array().end_object();
    }
    return EXIT_OK;
}

Register reg({
    {"cfg", "set", "PATH STR...",
     "commit an item (a tuple of strings); a refusal prints its reason", set},
    {"cfg", "delete", "PATH", "commit the deletion of an item", del},
    {"cfg", "get", "PATH", "print the committed tuple of an item", get, true},
    {"cfg", "list", "[PREFIX]", "print every item whose path begins with PREFIX", list, true},
});

}  // namespace
}  // namespace platformctl
