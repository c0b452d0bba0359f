// The zone-name check on arbitrary names, against an independent reading of the spelling rule.
// (What the setter does with a name that passes is the setter's own end-to-end test.)
#include <stdint.h>

#include <regex>
#include <string_view>

#include "fuzz_check.h"
#include "platform/timezone.h"

namespace {

// The spelling rule, read independently of the setter: at most 255 bytes, non-empty components
// of letters, digits, '_', '-', '+' separated by single '/' (so no "." or ".." component either).
bool spelled_ok(std::string_view name) {
    static const std::regex rule("[A-Za-z0-9_+-]+(/[A-Za-z0-9_+-]+)*");
    return name.size() <= platform::ZONE_NAME_MAX &&
           std::regex_match(name.begin(), name.end(), rule);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    FUZZ_CHECK(platform::zone_name_problem(text).empty() == spelled_ok(text));
    return 0;
}
