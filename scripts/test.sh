#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the default build's tests, a short run of
# every fuzz target, then the tests again under AddressSanitizer+UBSan and under ThreadSanitizer.
# Each step stops the script on the first failure. TZD_FUZZ_SECONDS sets the time per fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

step() {
  echo
  echo "==== $* ($(date +%H:%M:%S))"
}

step "dependencies"
./scripts/deps.sh

step "default build and tests (build/)"
cmake --preset default
cmake --build --preset default
ctest --preset default

step "fuzz targets, ${TZD_FUZZ_SECONDS:-20}s each (build-fuzz/)"
fuzz/run.sh "${TZD_FUZZ_SECONDS:-20}"

step "AddressSanitizer and UBSan build and tests (build-asan/)"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

step "ThreadSanitizer build and tests (build-tsan/)"
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan
