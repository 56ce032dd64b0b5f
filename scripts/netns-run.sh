#!/usr/bin/env bash
# Runs a command inside an isolated network namespace with veth adapters and virtual cameras.
#
#   scripts/netns-run.sh [options] -- COMMAND [ARGS...]
#
#   --adapter NAME,CIDR[,mtu=N][,gw=IP]  a veth adapter NAME in the test namespace with address CIDR;
#                                        its far end joins a bridge of its own (one L2 segment per
#                                        adapter). mtu= applies to the whole segment; gw= makes a
#                                        default route via IP on this adapter. Repeatable.
#   --address NAME,CIDR                  a further address on adapter NAME. Repeatable.
#   --camera ADAPTER,CIDR[,OPTIONS]      a virtual camera on ADAPTER's segment, in a namespace of its
#                                        own, started with OPTIONS (space-separated virtual-camera
#                                        options, e.g. "--serial TV001 --mac 02:00:00:00:00:01").
#   --ftp ADAPTER,CIDR                   an FTP server (user and password "plown", writable) on the
#                                        segment; when CIDR is a camera's address it runs beside that
#                                        camera. Its root is exported as TAVI_FTP_ROOT.
#
# COMMAND runs in the test namespace with TAVI_CAMERA_COUNT and, per camera i (command-line order),
# TAVI_CAMERA_<i>_IP, TAVI_CAMERA_<i>_CONTROL (fault-control socket), TAVI_CAMERA_<i>_ADAPTER and
# TAVI_CAMERA_<i>_LOG. Its exit status is passed through. Every namespace, process and temporary
# file is gone when the script ends. The camera binary is $TAVI_VIRTUAL_CAMERA, by default
# build/tools/virtual-camera/tavi-virtual-camera of this repository.
set -euo pipefail

usage() {
    sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# ---- stage 1: enter fresh network, mount and PID namespaces ---------------------------------------
# The PID namespace makes the kernel end every process started here when the script ends, however it
# ends, so no namespace can outlive a run; the mount namespace gives it a private /proc.
if [ "${TAVI_NETNS_STAGE:-}" != "inside" ]; then
    unshare_flags=(--net --mount --pid --fork --mount-proc --kill-child=SIGTERM)
    if [ "$(id -u)" -ne 0 ]; then unshare_flags=(--map-root-user "${unshare_flags[@]}"); fi
    TAVI_NETNS_STAGE=inside TAVI_NETNS_REPO="$(cd "$(dirname "$0")/.." && pwd)" \
        exec unshare "${unshare_flags[@]}" -- bash "$0" "$@"
fi
unset TAVI_NETNS_STAGE
# Its own /sys, so that /sys/class/net shows this namespace's interfaces, not the host's.
mount -t sysfs sysfs /sys 2>/dev/null || true

# ---- stage 2: inside the test namespace ----------------------------------------------------------
adapters=()
addresses=()
cameras=()
ftps=()
while [ $# -gt 0 ]; do
    case "$1" in
        --adapter) adapters+=("${2:?--adapter needs NAME,CIDR}"); shift 2 ;;
        --address) addresses+=("${2:?--address needs NAME,CIDR}"); shift 2 ;;
        --camera) cameras+=("${2:?--camera needs ADAPTER,CIDR}"); shift 2 ;;
        --ftp) ftps+=("${2:?--ftp needs ADAPTER,CIDR}"); shift 2 ;;
        --) shift; break ;;
        -h|--help) usage ;;
        *) echo "netns-run: unknown option '$1'" >&2; usage ;;
    esac
done
[ $# -gt 0 ] || { echo "netns-run: no command given" >&2; usage; }

camera_bin="${TAVI_VIRTUAL_CAMERA:-$TAVI_NETNS_REPO/build/tools/virtual-camera/tavi-virtual-camera}"
workdir=$(mktemp -d "${TMPDIR:-/tmp}/tavi-netns.XXXXXX")
started_pids=()
camera_pids=()
command_status=0

fail() {
    echo "netns-run: $*" >&2
    exit 1
}

show_camera_logs() {
    local log
    for log in "$workdir"/camera*.log; do
        [ -s "$log" ] || continue
        echo "---- $(basename "$log") (last lines) ----" >&2
        tail -n 20 "$log" >&2
    done
}

# A camera that ends with an error (a sanitizer's report, a crash) fails the run.
stop_cameras() {
    local i camera_status
    for ((i = 0; i < ${#camera_pids[@]}; i++)); do kill "${camera_pids[$i]}" 2>/dev/null || true; done
    for ((i = 0; i < ${#camera_pids[@]}; i++)); do
        camera_status=0
        wait "${camera_pids[$i]}" 2>/dev/null || camera_status=$?
        if [ "$camera_status" -ne 0 ] && [ "$camera_status" -ne 143 ]; then
            echo "netns-run: camera $i ended with status $camera_status" >&2
            cameras_failed=1
        fi
    done
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    cameras_failed=0
    stop_cameras
    [ "$status" -eq 0 ] && [ "$cameras_failed" -ne 0 ] && status=1
    [ "$status" -ne 0 ] && [ -d "$workdir" ] && show_camera_logs
    local i
    for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
        kill "${started_pids[$i]}" 2>/dev/null || true
    done
    for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
        wait "${started_pids[$i]}" 2>/dev/null || true
    done
    rm -rf "$workdir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# Quiet, permissive namespaces: no IPv6 chatter on the segments, and no reverse-path filter, since a
# camera on a foreign subnet and the host talk without routes to each other.
tune_namespace() {
    local sys=/proc/sys/net
    echo 1 >"$sys/ipv6/conf/all/disable_ipv6" 2>/dev/null || true
    echo 1 >"$sys/ipv6/conf/default/disable_ipv6" 2>/dev/null || true
    echo 0 >"$sys/ipv4/conf/all/rp_filter" 2>/dev/null || true
    echo 0 >"$sys/ipv4/conf/default/rp_filter" 2>/dev/null || true
    ip link set lo up
}

# A namespace is held by a sleeping process and addressed by its id, left in $new_ns.
new_namespace() {
    unshare --net sleep infinity >/dev/null 2>&1 &
    local pid=$!
    started_pids+=("$pid")
    local own
    own=$(readlink /proc/self/ns/net)
    for _ in $(seq 200); do
        if [ -e "/proc/$pid/ns/net" ] && [ "$(readlink "/proc/$pid/ns/net")" != "$own" ]; then
            in_ns "$pid" bash -c "$(declare -f tune_namespace); tune_namespace"
            new_ns=$pid
            return
        fi
        sleep 0.01
    done
    fail "a namespace could not be created"
}

in_ns() {
    local pid=$1
    shift
    nsenter --target "$pid" --net -- "$@"
}

field() { # field INDEX TEXT: the comma-separated field INDEX (from 0)
    local IFS=,
    local -a parts
    read -r -a parts <<<"$2"
    echo "${parts[$1]:-}"
}

tune_namespace
new_namespace
switch_ns=$new_ns

declare -A segment_mtu=()
declare -A segment_bridge=()
segment_count=0

add_adapter() {
    local item=$1 name cidr mtu="" gw="" option
    name=$(field 0 "$item")
    cidr=$(field 1 "$item")
    [ -n "$name" ] && [ -n "$cidr" ] || fail "bad --adapter '$item'"
    local IFS=,
    for option in $(cut -s -d, -f3- <<<"$item"); do
        case "$option" in
            mtu=*) mtu=${option#mtu=} ;;
            gw=*) gw=${option#gw=} ;;
            *) fail "bad adapter option '$option' in '$item'" ;;
        esac
    done
    unset IFS
    local bridge="br$segment_count" port="up$segment_count"
    segment_count=$((segment_count + 1))
    segment_bridge[$name]=$bridge
    segment_mtu[$name]=${mtu:-1500}
    ip link add "$name" type veth peer name "$port"
    ip link set "$port" netns "$switch_ns"
    in_ns "$switch_ns" ip link add "$bridge" type bridge
    in_ns "$switch_ns" ip link set "$bridge" mtu "${segment_mtu[$name]}"
    in_ns "$switch_ns" ip link set "$port" mtu "${segment_mtu[$name]}" master "$bridge" up
    in_ns "$switch_ns" ip link set "$bridge" up
    ip link set "$name" mtu "${segment_mtu[$name]}" up
    ip addr add "$cidr" brd + dev "$name"
    if [ -n "$gw" ]; then ip route add default via "$gw" dev "$name" onlink; fi
}

# Plugs a fresh namespace's eth0 into ADAPTER's segment with address CIDR; the namespace is left
# in $new_ns.
attach_to_segment() {
    local adapter=$1 cidr=$2 mac=$3 tag=$4
    [ -n "${segment_bridge[$adapter]:-}" ] || fail "no adapter '$adapter' for $tag"
    new_namespace
    local ns=$new_ns
    in_ns "$switch_ns" ip link add "$tag" type veth peer name "x$tag"
    in_ns "$switch_ns" ip link set "x$tag" netns "$ns"
    in_ns "$switch_ns" ip link set "$tag" mtu "${segment_mtu[$adapter]}" master "${segment_bridge[$adapter]}" up
    in_ns "$ns" ip link set "x$tag" name eth0
    [ -n "$mac" ] && in_ns "$ns" ip link set eth0 address "$mac"
    in_ns "$ns" ip link set eth0 mtu "${segment_mtu[$adapter]}" up
    in_ns "$ns" ip addr add "$cidr" brd + dev eth0
}

for item in "${adapters[@]}"; do add_adapter "$item"; done
for item in "${addresses[@]}"; do
    name=$(field 0 "$item")
    [ -n "${segment_bridge[$name]:-}" ] || fail "--address for unknown adapter '$name'"
    ip addr add "$(field 1 "$item")" brd + dev "$name"
done

declare -A camera_ns_by_ip=()
index=0
for item in "${cameras[@]}"; do
    adapter=$(field 0 "$item")
    cidr=$(field 1 "$item")
    options=$(cut -s -d, -f3- <<<"$item")
    [ -x "$camera_bin" ] || fail "virtual camera '$camera_bin' not found (build it, or set TAVI_VIRTUAL_CAMERA)"
    mac=$(sed -n 's/.*--mac[ =]\([0-9A-Fa-f:]*\).*/\1/p' <<<"$options")
    attach_to_segment "$adapter" "$cidr" "$mac" "cam$index"
    ns=$new_ns
    control="$workdir/camera$index.sock"
    log="$workdir/camera$index.log"
    # shellcheck disable=SC2086  # the camera options are space-separated words by design
    nsenter --target "$ns" --net -- "$camera_bin" --interface eth0 --control "$control" $options >"$log" 2>&1 &
    camera_pid=$!
    started_pids+=("$camera_pid")
    camera_pids+=("$camera_pid")
    camera_ns_by_ip[${cidr%/*}]=$ns
    export "TAVI_CAMERA_${index}_IP=${cidr%/*}"
    export "TAVI_CAMERA_${index}_CONTROL=$control"
    export "TAVI_CAMERA_${index}_ADAPTER=$adapter"
    export "TAVI_CAMERA_${index}_LOG=$log"
    index=$((index + 1))
done
export TAVI_CAMERA_COUNT=$index

if [ ${#ftps[@]} -gt 0 ]; then
    export TAVI_FTP_ROOT="$workdir/ftp"
    mkdir -p "$TAVI_FTP_ROOT/var"
    ftp_index=0
    for item in "${ftps[@]}"; do
        adapter=$(field 0 "$item")
        cidr=$(field 1 "$item")
        ip=${cidr%/*}
        ns=${camera_ns_by_ip[$ip]:-}
        if [ -z "$ns" ]; then
            attach_to_segment "$adapter" "$cidr" "" "ftp$ftp_index"
            ns=$new_ns
        fi
        nsenter --target "$ns" --net -- /usr/bin/python3 -m pyftpdlib -i "$ip" -p 21 -w \
            -u plown -P plown -d "$TAVI_FTP_ROOT" >"$workdir/ftp$ftp_index.log" 2>&1 &
        started_pids+=("$!")
        for _ in $(seq 500); do
            in_ns "$ns" bash -c "exec 3<>/dev/tcp/$ip/21" 2>/dev/null && break
            sleep 0.02
        done
        ftp_index=$((ftp_index + 1))
    done
fi

# A camera is ready once its control socket exists: it binds its GVCP port before creating it.
for ((i = 0; i < ${#camera_pids[@]}; i++)); do
    control="$workdir/camera$i.sock"
    for _ in $(seq 1000); do
        [ -S "$control" ] && break
        kill -0 "${camera_pids[$i]}" 2>/dev/null || fail "camera $i exited at start"
        sleep 0.01
    done
    [ -S "$control" ] || fail "camera $i did not start"
done

unset TAVI_NETNS_REPO
"$@" &
command_pid=$!
started_pids+=("$command_pid")
wait "$command_pid" || command_status=$?
exit "$command_status"
