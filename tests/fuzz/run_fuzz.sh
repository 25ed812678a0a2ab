#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) and runs each
# for a budget, one after the other, on its seed corpus in tests/fuzz/corpus
# (regression inputs included) and a working corpus of its own. Any finding
# fails the run; the input is kept under the build folder's findings/.
#
#   tests/fuzz/run_fuzz.sh                   every target, 30 s each
#   tests/fuzz/run_fuzz.sh dtc command_text  only these
#   FUZZ_SECONDS=3600 FUZZ_RUNS=10000000 nice -n 19 tests/fuzz/run_fuzz.sh
#                                            long run: whichever comes first
#   FUZZ_BUILD_DIR=build-fuzz                build folder (default)
#
# Prints one summary line per target: executions, executions per second,
# edges covered (cov) and features (ft) at the end of its run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
case $build in /*) ;; *) build=$root/$build ;; esac
seconds=${FUZZ_SECONDS:-30}
runs=${FUZZ_RUNS:--1}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(isotp_step isotp_exchange command_text config_json ecu_info dtc
                                     vehicle_info physical_value uds_answers)

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DDIAG_FUZZ=ON -DDIAG_BUILD_TESTS=OFF
fi
cmake --build "$build" -j"${JOBS:-2}" --target $(printf 'fuzz_%s ' "${targets[@]}")

failed=()
for target in "${targets[@]}"; do
    work=$build/corpus/$target
    findings=$build/findings/$target
    log=$build/fuzz-$target.log
    mkdir -p "$work" "$findings"
    dict=()
    [ -f "$here/$target.dict" ] && dict=(-dict="$here/$target.dict")
    # stdout closed (-close_fd_mask=1): the daemon code logs every frame.
    status=0
    "$build/tests/fuzz/fuzz_$target" "${dict[@]}" -max_total_time="$seconds" -runs="$runs" \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "$here/corpus/$target" >"$log" 2>&1 || status=$?
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(grep -oE 'cov: [0-9]+' <<<"$done_line" | tail -1 || true)
    ft=$(grep -oE 'ft: [0-9]+' <<<"$done_line" | tail -1 || true)
    if [ "$status" -ne 0 ] || [ -z "$done_line" ]; then
        failed+=("$target")
        printf '%-16s FAILED (exit %d), see %s and %s\n' "$target" "$status" "$log" "$findings"
        grep -E 'rule broken|ERROR: |runtime error|SUMMARY' "$log" | head -5 | sed 's/^/    /'
    else
        printf '%-16s ok  %s executions, %s exec/s, %s, %s\n' "$target" "${execs:-?}" "${rate:-?}" "$cov" "$ft"
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}"
    exit 1
fi
echo "fuzzing: no findings"
