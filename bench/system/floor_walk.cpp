// The floor for the first query: walk a zoneinfo tree with the same libc calls the catalogue
// build makes per zone file (set TZ, tzset, gmtime/localtime/mktime/difftime) and nothing else.
// The catalogue is built once, by a service's first query, in a fresh process: the figure to set
// it against is this program's first walk, and a benchmark takes the median over fresh runs.
//
//   floor_walk [WALKS]
//
// Prints the first walk's wall time in milliseconds, the median of the later walks (the same
// process, its zone data and directories already read; 0 with one walk) and the zone files seen.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

static long zones = 0;
static long sink = 0;

static void walk(const std::string &root, const std::string &rel, int level) {
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (!strcmp(n, ".") || !strcmp(n, ".."))
            continue;
        if (level == 0 &&
            (!strcmp(n, "posix") || !strcmp(n, "right") || !strcmp(n, "Factory") ||
             !strcmp(n, "iso3166.tab") || !strcmp(n, "zone.tab") || !strcmp(n, "posixrules")))
            continue;
        std::string full = dir + "/" + n;
        std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            walk(root, r, level + 1);
            continue;
        }
        setenv("TZ", r.c_str(), 1);
        tzset();
        time_t t = time(nullptr);
        struct tm g, l;
        gmtime_r(&t, &g);
        time_t a = mktime(&g);
        localtime_r(&t, &l);
        time_t b = mktime(&l);
        sink += (long)difftime(b, a) + (tzname[0] ? tzname[0][0] : 0);
        ++zones;
    }
    closedir(d);
}

int main(int argc, char **argv) {
    const char *root = getenv("TZDIR") ? getenv("TZDIR") : "/usr/share/zoneinfo";
    int runs = argc > 1 ? atoi(argv[1]) : 1;
    if (runs < 1)
        runs = 1;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        zones = 0;
        auto t0 = std::chrono::steady_clock::now();
        walk(root, "", 0);
        setenv("TZ", "", 1);
        tzset();
        auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    double first = ms[0];
    std::vector<double> later(ms.begin() + 1, ms.end());
    std::sort(later.begin(), later.end());
    printf("%.3f %.3f %ld\n", first, later.empty() ? 0.0 : later[later.size() / 2],
           zones + (sink & 0));
    return 0;
}
