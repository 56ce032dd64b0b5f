#!/usr/bin/env bash
# What CI runs (.ci/run): the house rules, then every test. Fails on the first broken rule or test.
#   format     clang-format --dry-run -Werror over every tracked C++ file, pycodestyle over the
#              Python package
#   plain      GCC build with -Werror; unit and end-to-end tests (inside isolated network namespaces)
#   tidy       clang-tidy (.clang-tidy) over the library's sources, with the plain build's compile commands
#   asan       clang build with ASan + UBSan and -Werror; every test
#   tsan       GCC build with TSan and -Werror; every test
#   fuzz       the fuzz targets built with clang and libFuzzer, each run for a minute on its corpus
#              (scripts/harden.sh --fuzz-seconds 60 --no-soak --no-merge); the soak's short run is
#              the ctest case soak.short of the builds above
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    format and plain only
#   scripts/test.sh STEP...    the steps named, in the order above (tidy needs the plain build)
set -euo pipefail
cd "$(dirname "$0")/.."

all_steps=(format plain tidy asan tsan fuzz)
case "${1:-}" in
    "") steps=("${all_steps[@]}") ;;
    --quick) steps=(format plain) ;;
    *) steps=("$@") ;;
esac
for name in "${steps[@]}"; do
    [[ " ${all_steps[*]} " == *" $name "* ]] || { echo "test.sh: unknown step '$name'" >&2; exit 2; }
done
wanted() { [[ " ${steps[*]} " == *" $1 "* ]]; }

scripts/setup-deps.sh

jobs=$(nproc)
timings=()

# step NAME COMMAND...: runs a step and notes how long it took.
step() {
    local name=$1 start=$SECONDS
    shift
    echo "== $name =="
    "$@"
    timings+=("$(printf '%-8s %4d s' "$name" $((SECONDS - start)))")
    echo "== $name: $((SECONDS - start)) s =="
}

check_format() {
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
    # The Python package, its tests and examples: PEP 8 with 100 columns.
    git ls-files -z 'python/*.py' 'examples/python/*.py' 'tests/e2e/python_e2e_test.py' |
        xargs -0 -r pycodestyle --max-line-length=100
}

# run_build DIR [COMPILER] CMAKE-OPTIONS...: configures (with -Werror), builds and runs every test.
# COMPILER is gcc (the default) or clang; a folder configured with the other one starts afresh.
run_build() {
    local dir=$1 compiler=gcc
    shift
    if [ "${1:-}" = clang ] || [ "${1:-}" = gcc ]; then compiler=$1; shift; fi
    local cc=gcc cxx=g++
    [ "$compiler" = clang ] && cc=clang cxx=clang++
    local cached
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
    if [ -n "$cached" ] && [ "$(realpath "$cached")" != "$(realpath "$(command -v "$cxx")")" ]; then
        rm -rf "$dir"
    fi
    CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DTAVI_BUILD_BENCH=OFF -DTAVI_WERROR=ON "$@" \
        > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

run_tidy() {
    run-clang-tidy -p build -quiet -j "$jobs" "$PWD/src/" > build/clang-tidy.log 2>&1 \
        || { grep -E -A3 '(warning|error):' build/clang-tidy.log; return 1; }
}

wanted format && step format check_format
wanted plain && step plain run_build build
wanted tidy && step tidy run_tidy
wanted asan && ASAN_OPTIONS=detect_leaks=1 step asan run_build build-asan clang \
    -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=address
wanted tsan && TSAN_OPTIONS=halt_on_error=1 step tsan run_build build-tsan \
    -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=thread
wanted fuzz && step fuzz scripts/harden.sh --fuzz-seconds 60 --no-soak --no-merge
printf '%s\n' "${timings[@]}"
echo "All checks and tests passed."
