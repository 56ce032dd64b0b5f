#!/usr/bin/env bash
# What the demo shows, run inside the demo's network namespace.
set -euo pipefail
tavi=build/tools/tavi/tavi

echo "== the cameras on every adapter =="
"$tavi" list

echo
echo "== moving the camera on the foreign subnet onto tv1's subnet =="
"$tavi" force-ip TV3D0003 192.168.50.30 255.255.255.0 192.168.50.254

echo
echo "== the cameras again, by serial number =="
"$tavi" list --by-serial

echo
echo "== connecting to TV3D0001: description, calibration, clock =="
"$tavi" info TV3D0001

echo
echo "== ten depth frames from channel 0, the last written as PCD and PLY =="
mkdir -p demo-output
"$tavi" capture TV3D0001 --channel 0 --frames 10 --pcd demo-output/depth.pcd --ply demo-output/depth.ply
sed -n "1,11p" demo-output/depth.pcd  # the header; the body is binary floats

echo
echo "== five colour frames from channel 1 =="
"$tavi" capture TV3D0001 --channel 1 --frames 5
