// Tuples: configuration values as a counted list of typed elements (only strings so far).
#include "platform/tuple.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <new>

struct sysdb_tuple {
    std::vector<uint8_t> bytes;
};

namespace platform {
namespace {

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

std::vector<uint8_t> tuple_pack_strings(const std::vector<std::string> &strings) {
    // Too big to be a tuple: an empty result, which no reader takes for a tuple.
    size_t total = 4;
    for (const auto &s : strings)
        total += 5 + s.size();
    if (total > TUPLE_MAX_BYTES)
        return {};
    std::vector<uint8_t> out;
    out.reserve(total);
    put_u32(out, uint32_t(strings.size()));
    for (const auto &s : strings) {
        out.push_back(TUPLE_KIND_STRING);
        put_u32(out, uint32_t(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

std::optional<std::vector<std::string>> tuple_strings(const uint8_t *data, size_t len) {
    if (!data || len < 4 || len > TUPLE_MAX_BYTES)
        return std::nullopt;
    uint32_t count = get_u32(data);
    size_t pos = 4;
    // Every element takes at least 5 bytes: a count beyond that is a lie, checked before any
    // memory is reserved for it.
    if (count > (len - pos) / 5)
        return std::nullopt;
    std::vector<std::string> out;
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (len - pos < 5 || data[pos] != TUPLE_KIND_STRING)
            return std::nullopt;
        uint32_t n = get_u32(data + pos + 1);
        pos += 5;
        if (n > len - pos)
            return std::nullopt;
        out.emplace_back(reinterpret_cast<const char *>(data + pos), n);
        pos += n;
    }
    if (pos != len)
        return std::nullopt;
    return out;
}

sysdb_tuple *tuple_new(const uint8_t *data, size_t len) {
    if (!data && len > 0)
        return nullptr;
    auto *t = new (std::nothrow) sysdb_tuple;
    if (!t)
        return nullptr;
    try {
        t->bytes.assign(data, data + len);
    } catch (const std::bad_alloc &) {
        delete t;
        return nullptr;
    }
    return t;
}

void tuple_free(sysdb_tuple *tuple) {
    delete tuple;
}

const uint8_t *tuple_data(const sysdb_tuple *tuple, size_t *len) {
    if (len)
        *len = tuple ? tuple->bytes.size() : 0;
    return tuple ? tuple->bytes.data() : nullptr;
}

}  // namespace platform

extern "C" int tuple_unpack(const sysdb_tuple *tuple, const char *format, ...) {
    if (!format) {
        errno = EINVAL;
        return -1;
    }
    // The whole format is checked before any argument is touched.
    size_t wanted = 0;
    for (const char *f = format; *f; f += 2) {
        if (f[0] != '%' || f[1] != 'S') {
            errno = EINVAL;
            return -1;
        }
        ++wanted;
    }
    std::vector<char **> outs;
    va_list ap;
    va_start(ap, format);
    for (size_t i = 0; i < wanted; ++i)
        outs.push_back(va_arg(ap, char **));
    va_end(ap);
    for (char **out : outs)
        if (out)
            *out = nullptr;

    size_t len = 0;
    const uint8_t *data = platform::tuple_data(tuple, &len);
    auto strings = platform::tuple_strings(data, len);
    if (!strings) {
        errno = EINVAL;
        return -1;
    }
    // A C string cannot carry a NUL: such an element would arrive silently cut.
    for (const auto &s : *strings)
        if (s.find('\0') != std::string::npos) {
            errno = EINVAL;
            return -1;
        }
    int stored = 0;
    for (size_t i = 0; i < wanted && i < strings->size(); ++i) {
        if (!outs[i])
            continue;
        *outs[i] = strdup((*strings)[i].c_str());
        if (!*outs[i]) {
            for (size_t j = 0; j < i; ++j)
                if (outs[j]) {
                    free(*outs[j]);
                    *outs[j] = nullptr;
                }
            errno = ENOMEM;
            return -1;
        }
        ++stored;
    }
    return stored;
}
