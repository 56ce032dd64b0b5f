#!/usr/bin/env bash
# Checks scripts/netns-run.sh itself: the topology and environment it builds, the FTP server, the
# exit status it passes through, and that nothing is left behind.
#   harness_test.sh PATH-OF-netns-run.sh
set -uo pipefail
netns_run=$1
failures=0
check() { # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}

# ---- topology and environment, seen from inside ------------------------------------------------
inside=$(mktemp)
"$netns_run" \
    --adapter tv0,169.254.1.1/16,mtu=9000,gw=169.254.1.254 \
    --adapter tv1,192.168.77.1/24 --address tv1,192.168.77.2/24 \
    --camera "tv0,169.254.1.10/16,--serial H0 --mac 02:00:00:00:00:a0" \
    --camera "tv1,10.1.0.5/16,--serial H1" \
    --ftp tv0,169.254.1.10/16 \
    -- bash -c '
        set -u
        echo "count=$TAVI_CAMERA_COUNT"
        echo "ip0=$TAVI_CAMERA_0_IP adapter0=$TAVI_CAMERA_0_ADAPTER ip1=$TAVI_CAMERA_1_IP adapter1=$TAVI_CAMERA_1_ADAPTER"
        [ -S "$TAVI_CAMERA_0_CONTROL" ] && [ -S "$TAVI_CAMERA_1_CONTROL" ] && echo "controls=sockets"
        echo "workdir=$(dirname "$TAVI_CAMERA_0_CONTROL")"
        echo "mtu0=$(cat /sys/class/net/tv0/mtu) mtu1=$(cat /sys/class/net/tv1/mtu)"
        echo "routes=$(ip -4 route show default | tr -s " " | tr "\n" ";")"
        echo "addresses1=$(ip -4 -o addr show dev tv1 | awk "{print \$4}" | tr "\n" " ")"
        echo "links=$(ls /sys/class/net | tr "\n" " ")"
        /usr/bin/python3 -c "
import ftplib, io
ftp = ftplib.FTP(\"169.254.1.10\", timeout=5)
ftp.login(\"plown\", \"plown\")
ftp.storbinary(\"STOR /var/fw.bin\", io.BytesIO(b\"firmware\"))
ftp.quit()"
        echo "ftp=$(cat "$TAVI_FTP_ROOT/var/fw.bin")"
    ' >"$inside" 2>&1
status=$?
cat "$inside"
check "the run succeeds" [ $status -eq 0 ]
check "two cameras" grep -qx "count=2" "$inside"
check "camera addresses and adapters in command-line order" \
    grep -qx "ip0=169.254.1.10 adapter0=tv0 ip1=10.1.0.5 adapter1=tv1" "$inside"
check "control sockets exist" grep -qx "controls=sockets" "$inside"
check "MTU per segment" grep -qx "mtu0=9000 mtu1=1500" "$inside"
check "one default route, through tv0" grep -qx "routes=default via 169.254.1.254 dev tv0 onlink ;" "$inside"
check "several addresses on one adapter" grep -qx "addresses1=192.168.77.1/24 192.168.77.2/24 " "$inside"
check "the test namespace holds only lo and the adapters" grep -qx "links=lo tv0 tv1 " "$inside"
check "an upload to the camera's address reaches the FTP root" grep -qx "ftp=firmware" "$inside"
workdir=$(sed -n 's/^workdir=//p' "$inside")
check "the temporary directory is removed" [ -n "$workdir" ] && [ ! -e "$workdir" ]
rm -f "$inside"

# ---- exit status, failures and parallel runs ---------------------------------------------------
"$netns_run" --adapter tv0,169.254.1.1/16 -- bash -c 'exit 7'
check "the command's exit status is passed through" [ $? -eq 7 ]
"$netns_run" --adapter tv0,169.254.1.1/16 --camera "tv0,169.254.1.10/16,--no-such-option 1" -- true 2>/dev/null
check "a camera that cannot start fails the run" [ $? -ne 0 ]
"$netns_run" --adapter tv0,169.254.1.1/16 --address tv9,10.0.0.1/8 -- true 2>/dev/null
check "an address for an unknown adapter fails the run" [ $? -ne 0 ]
"$netns_run" --adapter tv0,169.254.1.1/16 --camera "tv0,169.254.1.10/16" -- sleep 1 &
first=$!
"$netns_run" --adapter tv0,169.254.1.1/16 --camera "tv0,169.254.1.10/16" -- sleep 1
second=$?
wait $first
check "two runs with the same names side by side" [ $? -eq 0 ] && [ $second -eq 0 ]

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
