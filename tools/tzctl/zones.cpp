#include "zones.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/timezone.h"
#include "query_channel.h"

namespace tzctl {
namespace {

// Top-level entries the service's catalogue leaves out.
const std::set<std::string> kSkippedAtTop = {"posix",       "right",    "Factory",
                                             "iso3166.tab", "zone.tab", "posixrules"};

void walk(const std::string &root, const std::string &relative, std::vector<std::string> &out) {
    std::string dir = relative.empty() ? root : root + "/" + relative;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || (relative.empty() && kSkippedAtTop.count(name)))
            continue;
        std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (lstat((root + "/" + rel).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            walk(root, rel, out);
        else
            out.push_back(rel);
    }
    closedir(d);
}

std::string lower(std::string s) {
    for (char &c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Edits (insert, delete, replace, swap of neighbours) that turn A into B.
size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++)
        for (size_t j = 1; j <= b.size(); j++) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::vector<std::string> tree_zones(const std::string &root) {
    std::vector<std::string> all, out;
    walk(root, "", all);
    for (auto &name : all) {
        std::string target, error;
        if (platform::resolve_zone(root, name, target, error))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> zone_names(const Options &options) {
    std::vector<std::string> names;
    bool complete = false;
    try {
        QueryChannel channel(options.channel_path, options.timeout_ms);
        auto reply = channel.exchange(*new_request(TZ_MSG_RETRIEVE_ALL_LOCATIONS));
        int32_t count = std::clamp<int32_t>(reply->loc_list_count, 0, TZ_LOC_LIST_MAX);
        for (int32_t i = 0; i < count; i++) {
            const char *field = reply->loc_list[i].location;
            names.emplace_back(field, tz_msg_text_len(field, TZ_LOCATION_FIELD));
        }
        complete = count < TZ_LOC_LIST_MAX;
    } catch (const Failure &) {
    }
    if (!complete)
        for (auto &zone : tree_zones(platform::zoneinfo_root()))
            names.push_back(zone);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> similar_zones(const std::string &name,
                                       const std::vector<std::string> &candidates, size_t max) {
    std::string wanted = lower(name);
    // A typo or two in a short name, a few more in a long one.
    size_t limit = std::max<size_t>(2, wanted.size() / 5);
    std::vector<std::pair<size_t, std::string>> near;
    for (auto &c : candidates) {
        std::string l = lower(c);
        size_t d = distance(wanted, l);
        auto slash = l.rfind('/');
        if (slash != std::string::npos && wanted.find('/') == std::string::npos)
            d = std::min(d, distance(wanted, l.substr(slash + 1)) + 1);
        if (d <= limit && c != name)
            near.emplace_back(d, c);
    }
    std::sort(near.begin(), near.end());
    std::vector<std::string> out;
    for (auto &[d, c] : near) {
        if (out.size() == max)
            break;
        out.push_back(c);
    }
    return out;
}

}  // namespace tzctl
