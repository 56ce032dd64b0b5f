#!/usr/bin/env bash
# What the demo shows, run inside the demo's network namespace (see scripts/demo.sh): three virtual
# cameras, TV3D0001 behind tv0 (MTU 1500), TV3D0002 behind tv1 (MTU 9000) and TV3D0003 on tv1's
# segment but on a foreign subnet.
set -euo pipefail
tavi=build/tools/tavi/tavi
output=demo-output

step() { printf '\n== %s ==\n' "$*"; }

# Sends one line to a virtual camera's control socket (how the demo makes it drop packets).
camera_control() {
    /usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall((sys.argv[2] + "\n").encode())
print("camera:", s.recv(200).decode().strip())' "$1" "$2"
}

step "the cameras on every adapter"
"$tavi" list

step "tavi doctor: what stands between this PC and its cameras, with the fix for each problem"
# The doctor exits 6 when it finds a problem; the demo goes on to apply the fix it printed.
"$tavi" doctor || echo "(doctor exit code $?)"

step "the fix the doctor printed for TV3D0003: onto tv1's subnet"
"$tavi" force-ip TV3D0003 192.168.50.30 255.255.255.0 192.168.50.1

step "the cameras again, by serial number, and the doctor on TV3D0003 now"
"$tavi" list --by-serial
"$tavi" doctor TV3D0003 || echo "(doctor exit code $?)"

step "connecting to TV3D0001: identity, network, description, clock, calibration"
"$tavi" info TV3D0001

step "features by name: read, write, read back; a refused value"
"$tavi" get TV3D0001 ExposureTime Width PixelFormat --sensor 0 --channel 0
"$tavi" set TV3D0001 ExposureTime=5000 AcquisitionFrameRate=15 --sensor 0
"$tavi" get TV3D0001 ExposureTime AcquisitionFrameRate --sensor 0 --json
"$tavi" set TV3D0001 Width=13 || echo "(set exit code $?: nothing was written)"

step "every feature of the description (the first 25 lines of tavi dump)"
"$tavi" dump TV3D0001 | head -n 25

step "live statistics of TV3D0001's depth channel (now at 15 frames/s) while its camera drops 2 % of the packets"
camera_control "$TAVI_CAMERA_0_CONTROL" "set drop-first 0.02"
"$tavi" stats TV3D0001 --seconds 4
camera_control "$TAVI_CAMERA_0_CONTROL" "set drop-first 0"

step "three frames from depth, colour and grey, written as every file kind, with a preview picture"
mkdir -p "$output"
"$tavi" capture TV3D0002 --frames 3 --pcd "$output/depth.pcd" --ply "$output/depth.ply" \
    --txt "$output/depth.txt" --png "$output/depth.png" --bmp "$output/colour.bmp" \
    --grey-bmp "$output/grey.bmp" --fused-txt "$output/coloured-cloud.txt" --preview "$output/preview.png"

step "the files"
ls -l "$output"
echo
echo "The files are in $(cd "$output" && pwd); open preview.png to see the depth and the coloured cloud."
