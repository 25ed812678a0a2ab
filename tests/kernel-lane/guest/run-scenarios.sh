#!/bin/bash
# Runs lane scenarios inside the VM, one after the other, each in its own
# process with its own results folder under $LANE_OUT.
#   run-scenarios.sh [NAME...]   NAME: scenario file name without ".sh"
# With no NAME it runs every scenario. Ends with "N passed, N failed".
# LANE_SCENARIO_DIR: another folder of scenarios (default: scenarios/).
set -uo pipefail

lane_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export LANE_REPO=${LANE_REPO:-$(cd "$lane_dir/../.." && pwd)}
export LANE_LIB=$lane_dir/guest/lib.sh
out_root=${LANE_OUT:-/tmp/lane-out}
scenario_dir=${LANE_SCENARIO_DIR:-$lane_dir/scenarios}

scenarios=()
if [ $# -eq 0 ]; then
    for file in "$scenario_dir"/*.sh; do scenarios+=("$(basename "$file" .sh)"); done
else
    scenarios=("$@")
fi

passed=0
failed=0
failed_names=()
for name in "${scenarios[@]}"; do
    file=$scenario_dir/$name.sh
    export SCENARIO_OUT=$out_root/$name
    mkdir -p "$SCENARIO_OUT"
    echo "=== scenario $name"
    start=$(date +%s)
    if [ -f "$file" ] && (cd "$LANE_REPO" && bash "$file"); then
        result=PASS
        passed=$((passed + 1))
    else
        [ -f "$file" ] || echo "  no such scenario: $file"
        result=FAIL
        failed=$((failed + 1))
        failed_names+=("$name")
    fi
    echo "=== scenario $name: $result ($(($(date +%s) - start)) s)"
done

[ "$failed" -eq 0 ] || echo "failed scenarios: ${failed_names[*]}"
echo "lane: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
