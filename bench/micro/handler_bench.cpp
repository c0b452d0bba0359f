// The query handler in process, one benchmark per query type, on the catalogue built from this
// machine's zoneinfo tree. Replies go to calls that send nothing (null_msg.cpp), so each figure is
// the handler's own work: the lookup, the fields it writes and its trace lines.
//
// The trace buffer lives in a private runtime directory, removed at the end.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>

#include "null_msg.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "tz_config.h"

namespace {

struct Query {
    std::unique_ptr<tz_cli_msg> msg = std::make_unique<tz_cli_msg>();
    event_context ctx{};

    Query() {
        ctx.reply_id = 1;
        ctx.buffer = msg.get();
        ctx.buffer_size = sizeof *msg;
    }
    // The request fields, set again before each run since the handler answers into them.
    void set(int type, const char *arg) {
        msg->type_word = uint16_t(type);
        tz_msg_put_text(msg->abbrev, TZ_ABBREV_FIELD, arg);
        tz_msg_put_text(msg->lookup_location, TZ_LOOKUP_LOCATION_FIELD, arg);
    }
    int run() { return tz_message_handler(&ctx, nullptr); }
};

// Runs one query per iteration and fails the benchmark on an error reply.
void run_query(benchmark::State &state, int type, const char *arg) {
    Query q;
    q.set(type, arg);
    q.run();  // builds the catalogue when no earlier benchmark has
    long errors = nullmsg::errors;
    for (auto _ : state) {
        q.set(type, arg);
        benchmark::DoNotOptimize(q.run());
        benchmark::ClobberMemory();
    }
    if (nullmsg::errors != errors)
        state.SkipWithError("the handler replied with an error");
}

// The first message builds the catalogue: one run only, since a process builds it once.
void BM_first_message_builds_catalogue(benchmark::State &state) {
    Query q;
    q.set(TZ_MSG_LOCATION_TO_TZ, "Europe/Paris");
    for (auto _ : state)
        q.run();
    if (handler_called != 1)
        state.SkipWithError("the catalogue was not built");
}
BENCHMARK(BM_first_message_builds_catalogue)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_type1_all_abbreviations(benchmark::State &state) {
    run_query(state, TZ_MSG_RETRIEVE_TZLIST, "");
}
BENCHMARK(BM_type1_all_abbreviations)->Unit(benchmark::kMicrosecond);

// Type 2 costs one tzset and one localtime per location: the label gives the count.
void BM_type2_locations(benchmark::State &state, const char *abbrev) {
    run_query(state, TZ_MSG_RETRIEVE_LOCATIONS, abbrev);
    Query q;
    q.set(TZ_MSG_RETRIEVE_LOCATIONS, abbrev);
    q.run();
    int n = q.msg->tz_found ? q.msg->loc_list_count : 0;
    state.SetLabel(std::to_string(n) + " locations");
    if (n > 0)
        state.counters["per_location"] =
            benchmark::Counter(double(state.iterations()) * n,
                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_type2_locations, CET, "CET")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_type2_locations, IST, "IST")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_type2_locations, absent, "ZZZ")->Unit(benchmark::kMicrosecond);

void BM_type3_exact(benchmark::State &state) {
    run_query(state, TZ_MSG_MATCH_TZ, "CET");
}
BENCHMARK(BM_type3_exact);

void BM_type3_completion(benchmark::State &state) {
    run_query(state, TZ_MSG_MATCH_TZ, "CE");
}
BENCHMARK(BM_type3_completion);

void BM_type4_location(benchmark::State &state) {
    run_query(state, TZ_MSG_LOCATION_TO_TZ, "Europe/Paris");
}
BENCHMARK(BM_type4_location);

void BM_type4_missing(benchmark::State &state) {
    run_query(state, TZ_MSG_LOCATION_TO_TZ, "Nowhere/City");
}
BENCHMARK(BM_type4_missing);

void BM_type5_all_locations(benchmark::State &state) {
    run_query(state, TZ_MSG_RETRIEVE_ALL_LOCATIONS, "");
}
BENCHMARK(BM_type5_all_locations)->Unit(benchmark::kMicrosecond);

// For scale: what the channel does with the message at least once per direction.
void BM_copy_message(benchmark::State &state) {
    auto a = std::make_unique<tz_cli_msg>(), b = std::make_unique<tz_cli_msg>();
    for (auto _ : state) {
        memcpy(b.get(), a.get(), sizeof *a);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_copy_message);

}  // namespace

int main(int argc, char **argv) {
    // The trace buffer goes to a private runtime directory, not the machine's.
    char dir[] = "/tmp/tz-handler-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    setenv("PLATFORM_RUNDIR", dir, 1);
    benchmark::Initialize(&argc, argv);
    int rc = 0;
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        rc = 1;
    else
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
