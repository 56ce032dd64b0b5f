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
