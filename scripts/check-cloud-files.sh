#!/usr/bin/env bash
# Loads PCD and PLY files written by the library in PCL and checks that they hold the same points.
# Needs PCL (libpcl-dev); without it the check is skipped. The same check runs in ctest
# (cloud_files_load_in_pcl) whenever the build finds PCL.
#   scripts/check-cloud-files.sh            run it if PCL is installed
#   scripts/check-cloud-files.sh --install  install PCL first (scripts/setup-deps.sh --with-baselines)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--install" ]; then
    scripts/setup-deps.sh --with-baselines
fi
if ! dpkg-query -W -f='${Status}' libpcl-dev 2>/dev/null | grep -q 'install ok installed'; then
    echo "check-cloud-files: PCL (libpcl-dev) is not installed; reader check skipped"
    exit 0
fi

build=build-readers
cmake -S . -B "$build" -G Ninja -DTAVI_BUILD_BENCH=OFF -DTAVI_BUILD_TOOLS=OFF > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target cloud_reader_check
"$build/tests/cloud_reader_check"
