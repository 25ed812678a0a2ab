#!/bin/bash
# Runs lane scenarios inside the VM, one after the other, each in its own
# process with its own results folder under $LANE_OUT.
#   run-scenarios.sh [NAME...]   NAME: scenario file name without ".sh"
# With no NAME it runs every scenario. Ends with "N passed, N failed". A
# scenario that exits with 77 does not apply to this VM (e.g. it needs the
# CAN controllers) and counts as skipped, neither passed nor failed.
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
skipped_names=()
for name in "${scenarios[@]}"; do
    file=$scenario_dir/$name.sh
    export SCENARIO_OUT=$out_root/$name
    mkdir -p "$SCENARIO_OUT"
    echo "=== scenario $name"
    start=$(date +%s)
    status=1
    if [ -f "$file" ]; then
        (cd "$LANE_REPO" && bash "$file")
        status=$?
    else
        echo "  no such scenario: $file"
    fi
    case $status in
        0) result=PASS; passed=$((passed + 1)) ;;
        77) result=SKIP; skipped_names+=("$name") ;;
        *) result=FAIL; failed=$((failed + 1)); failed_names+=("$name") ;;
    esac
    echo "=== scenario $name: $result ($(($(date +%s) - start)) s)"
done

[ ${#skipped_names[@]} -eq 0 ] || echo "skipped scenarios (not for this VM): ${skipped_names[*]}"
[ "$failed" -eq 0 ] || echo "failed scenarios: ${failed_names[*]}"
echo "lane: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
