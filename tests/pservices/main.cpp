#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_env.h"

namespace {
std::string the_root;
}

namespace ptest {

const std::string &root() {
    return the_root;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace ptest

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/pservices-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return 2;
    the_root = tmpl;
    setenv("PLATFORM_RUNDIR", (the_root + "/run").c_str(), 1);
    setenv("PLATFORM_STATEDIR", (the_root + "/state").c_str(), 1);
    setenv("PLATFORM_LOCALTIME", (the_root + "/state/etc/localtime").c_str(), 1);
    setenv("TZDIR", (the_root + "/no-zoneinfo").c_str(), 1);
    unsetenv("PLATFORM_LOG_STDERR");
    int rc = RUN_ALL_TESTS();
    std::filesystem::remove_all(the_root);
    return rc;
}
