// main() of a test binary whose tests leave the service's threads running: run whole, it runs
// each selected test in a process of its own (this program again, filtered to that test), as
// ctest does. A listing, a run of one test and a death test's child run in this process.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string filter = GTEST_FLAG_GET(filter);
    char self[PATH_MAX] = {};
    bool one = filter.find_first_of("*?:-") == std::string::npos;
    if (one || getenv("TZD_TEST_IN_PROCESS") || GTEST_FLAG_GET(list_tests) ||
        !GTEST_FLAG_GET(internal_run_death_test).empty() ||
        readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return RUN_ALL_TESTS();

    // The selected tests, from this program's own listing.
    std::vector<std::string> tests;
    std::string list = std::string(self) + " --gtest_list_tests '--gtest_filter=" + filter + "'";
    FILE *in = popen(list.c_str(), "r");
    std::string suite;
    for (char line[512]; in && fgets(line, sizeof line, in);) {
        std::string s = line;
        s = s.substr(0, s.find_first_of(" \n", 2));
        if (s.rfind("  ", 0) == 0)
            tests.push_back(suite + s.substr(2));
        else
            suite = s;
    }
    if (!in || pclose(in) != 0)
        return 1;

    std::vector<std::string> failed;
    for (const std::string &test : tests) {
        std::string run =
            "TZD_TEST_IN_PROCESS=1 " + std::string(self) + " '--gtest_filter=" + test + "'";
        int status = system(run.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failed.push_back(test);
    }
    printf("\n%zu tests, each in a process of its own: %zu failed\n", tests.size(), failed.size());
    for (auto &test : failed)
        printf("  FAILED %s\n", test.c_str());
    return failed.empty() ? 0 : 1;
}
