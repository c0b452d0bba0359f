// The platform's encoding of configuration values (tuples), shared by platformd, libsysdb.so and
// the command lines.
//
// Encoding: u32 element count (little-endian), then per element: u8 kind (1 = string), u32
// length, the bytes of the string without a terminator. Nothing follows the last element.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "platform_sysdb.h"

namespace platform {

constexpr uint8_t TUPLE_KIND_STRING = 1;
constexpr size_t TUPLE_MAX_BYTES = 64 * 1024;

std::vector<uint8_t> tuple_pack_strings(const std::vector<std::string> &strings);
// The strings of an encoded tuple, or nothing when it is malformed.
std::optional<std::vector<std::string>> tuple_strings(const uint8_t *data, size_t len);

// A tuple object as handed to the service (sysdb_item.value): a copy of the encoded bytes.
sysdb_tuple *tuple_new(const uint8_t *data, size_t len);
void tuple_free(sysdb_tuple *tuple);
const uint8_t *tuple_data(const sysdb_tuple *tuple, size_t *len);

}  // namespace platform
