#!/usr/bin/env bash
# Builds the project (configuring the build folder first if it has none) and
# runs the whole test suite with ctest.
#
#   scripts/test.sh                      build/, RelWithDebInfo
#   scripts/test.sh -R Mqtt              extra arguments go to ctest
#   BUILD_DIR=build-tsan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread" scripts/test.sh
#
# Each test program starts its own mosquitto on a free loopback port, so the
# suite needs no running broker. JOBS (2) compiles; TEST_JOBS (twice JOBS)
# runs test programs at once: most of them wait out the daemon's protocol
# time-outs rather than use a core.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
[[ $build = /* ]] || build=$here/$build
jobs=${JOBS:-2}
test_jobs=${TEST_JOBS:-$((2 * jobs))}
read -r -a cmake_args <<<"${CMAKE_ARGS:--DCMAKE_BUILD_TYPE=RelWithDebInfo}"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" "${cmake_args[@]}"
fi
cmake --build "$build" -j"$jobs"
cd "$build"
ctest --output-on-failure -j"$test_jobs" "$@"
