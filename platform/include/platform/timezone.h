// The time-zone setter behind conf_set_timezone_string: name checks, zone file checks and the
// atomic replacement of the localtime link.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Longest zone name accepted, in bytes.
constexpr size_t ZONE_NAME_MAX = 255;

// Why NAME cannot be a zone name, or empty when its spelling is acceptable: non-empty, relative,
// at most ZONE_NAME_MAX bytes, components of letters, digits, '_', '-' and '+' separated by single
// '/', none of them "." or "..". Looks at the text only, never at the file system.
std::string zone_name_problem(std::string_view name);

// The zoneinfo root: TZDIR when set and non-empty, else "/usr/share/zoneinfo".
std::string zoneinfo_root();

// Checks that NAME names a zone file below ROOT: an acceptable spelling, a path that resolves
// (symbolic links followed, every one of them staying inside ROOT and none of them LINK, the
// link about to be replaced) to a regular file inside ROOT whose TZif header is sound. On
// success TARGET is what the link should point at: that file, every link on the way resolved.
bool resolve_zone(const std::string &root, std::string_view name, std::string &target,
                  std::string &error, const std::string &link = {});

// Points LINK at zone NAME below ROOT, replacing LINK in one rename, and records NAME in
// zone_record_path(LINK). With NAME null, removes both (absent ones count as removed). Setters
// of one link take turns through a private lock file beside it (".localtime.lock" for
// "localtime"), waiting at most a few seconds. On failure LINK is as it was and ERROR says why.
bool set_zone_link(const std::string &root, const std::string &link, const char *name,
                   std::string &error);

// Why the calling thread's last conf_set_timezone_string failed, in the words of set_zone_link's
// ERROR ("... resolves through /etc/localtime, the link being replaced"); empty after a success.
// For a caller that carries the reason back to whoever asked for the zone.
const std::string &last_zone_error();

// The small file beside LINK that holds the name of the zone in effect.
std::string zone_record_path(const std::string &link);

// The zone recorded beside LINK, or empty when none is.
std::string recorded_zone(const std::string &link);

}  // namespace platform
