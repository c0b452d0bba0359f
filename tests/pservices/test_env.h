// A private directory per test process: main() points PLATFORM_RUNDIR, PLATFORM_STATEDIR,
// PLATFORM_LOCALTIME and TZDIR below it before anything reads the environment.
#pragma once

#include <string>

namespace ptest {

const std::string &root();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

}  // namespace ptest
