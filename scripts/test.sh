#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and end-to-end (inside isolated network namespaces),
# then the sanitizer builds (ASan with UBSan, and TSan).
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only, no sanitizer builds
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/setup-deps.sh

jobs=$(nproc)

run_build() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DTAVI_BUILD_BENCH=OFF "$@" > "$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

echo "== plain build =="
run_build build
if [ $quick -eq 0 ]; then
    echo "== ASan + UBSan build =="
    ASAN_OPTIONS=detect_leaks=1 run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=address
    echo "== TSan build =="
    TSAN_OPTIONS=halt_on_error=1 run_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=thread
fi
echo "All tests passed."
