#!/usr/bin/env bash
# The tavi tool as a user meets it: usage texts and exit codes, then list, info and capture against
# the one virtual camera (serial TVT001) that tests/e2e/tavi.cmake starts in the namespace.
#   tavi_smoke_test.sh PATH-OF-tavi
set -uo pipefail
tavi=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect STATUS TEXT DESCRIPTION -- COMMAND...: the command ends with STATUS ("nonzero": anything
# but 0) and its output (stdout and stderr) holds TEXT.
expect() {
    local status=$1 text=$2 description=$3
    shift 4
    local output actual=0
    output=$("$@" 2>&1) || actual=$?
    if { [ "$status" = nonzero ] && [ "$actual" -ne 0 ]; } || [ "$status" = "$actual" ]; then
        if grep -qF -- "$text" <<<"$output"; then
            echo "ok: $description"
            return
        fi
        echo "FAILED: $description: no '$text' in:"
    else
        echo "FAILED: $description: status $actual, expected $status; output:"
    fi
    echo "$output" | head -20
    failures=$((failures + 1))
}

for command in list force-ip info capture; do
    expect 0 "$command" "--help names $command" -- "$tavi" --help
done
expect nonzero "subcommand" "no command is a usage error" -- "$tavi"
expect nonzero "Run with --help" "an unknown command is a usage error" -- "$tavi" frobnicate
expect nonzero "serial" "info without a serial number is a usage error" -- "$tavi" info

expect 0 "1 camera answer" "list finds the camera" -- "$tavi" list
expect 0 "$TAVI_CAMERA_0_IP" "list shows the camera's address" -- "$tavi" list --by-serial
expect 0 "TVT001" "list shows the camera's serial number" -- "$tavi" list
expect 0 "camera TVT001" "info connects and describes the camera" -- "$tavi" info TVT001
expect 0 "description saved to $scratch: done" "info saves the description" \
    -- "$tavi" info TVT001 --save-xml "$scratch"
expect 1 "no camera with serial number TVX999" "info of an absent camera fails" -- "$tavi" info TVX999
expect 0 "wrote $scratch/depth.pcd: done" "capture writes the depth frame" \
    -- "$tavi" capture TVT001 --channel 0 --frames 1 --timeout-ms 30000 --pcd "$scratch/depth.pcd"
if head -c 200 "$scratch/depth.pcd" 2>/dev/null | grep -q "^VERSION"; then
    echo "ok: the PCD file has a PCD header"
else
    echo "FAILED: the PCD file has no PCD header"
    failures=$((failures + 1))
fi
expect 1 "no camera with serial number TVX999" "capture from an absent camera fails" \
    -- "$tavi" capture TVX999 --frames 1

echo "$failures failed"
[ "$failures" -eq 0 ]
