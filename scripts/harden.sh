#!/usr/bin/env bash
# Reliability evidence: long fuzzing and the soak, with one table of figures at the end.
#   1. builds the fuzz targets with clang and libFuzzer (build-fuzz: library and targets under ASan +
#      UBSan) and runs each for a given time on its committed corpus (tests/fuzz/corpus/<name>);
#      new entries that add coverage are merged into the corpus; every crash, leak, time-out or
#      out-of-memory input is copied there as regression-<target>-<sha1>, so the replay tests
#      (ctest fuzz.<name>) run it from then on, and the run fails;
#   2. runs the soak (tests/soak) of the plain build against a virtual camera in an isolated
#      namespace: connection cycles, lossy streaming, a pulled camera and a link flap;
#   3. runs the soak once more, shorter, from build-fuzz under LeakSanitizer.
#
#   scripts/harden.sh [--fuzz-seconds S] [--cycles N] [--stream-minutes M] [--lsan-cycles N]
#                     [--targets "NAME..."] [--no-fuzz] [--no-soak] [--no-merge]
#
#   --fuzz-seconds S     time per fuzz target (default 600)
#   --cycles N           soak connection cycles (default 1000)
#   --stream-minutes M   soak minutes of lossy streaming (default 10)
#   --lsan-cycles N      cycles of the LeakSanitizer soak (default 20; its streaming lasts 30 s)
#   --targets "A B"      fuzz only these targets (default: every tests/fuzz/fuzz_<name>.cpp)
#   --no-merge           leave the committed corpora untouched (CI)
#
# The figures are also written to build-fuzz/harden-figures.txt. Not part of scripts/test.sh, whose
# "fuzz" step runs a short version (scripts/harden.sh --fuzz-seconds 12 --no-soak --no-merge).
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=600
cycles=1000
stream_minutes=10
lsan_cycles=20
lsan_stream_minutes=0.5
targets=""
do_fuzz=1
do_soak=1
do_merge=1
while [ $# -gt 0 ]; do
    case "$1" in
        --fuzz-seconds) fuzz_seconds=${2:?}; shift 2 ;;
        --cycles) cycles=${2:?}; shift 2 ;;
        --stream-minutes) stream_minutes=${2:?}; shift 2 ;;
        --lsan-cycles) lsan_cycles=${2:?}; shift 2 ;;
        --targets) targets=${2:?}; shift 2 ;;
        --no-fuzz) do_fuzz=0; shift ;;
        --no-soak) do_soak=0; shift ;;
        --no-merge) do_merge=0; shift ;;
        -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "harden: unknown option '$1'" >&2; exit 2 ;;
    esac
done
if [ -z "$targets" ]; then
    for source in tests/fuzz/fuzz_*.cpp; do
        source=${source##*/fuzz_}
        targets="$targets ${source%.cpp}"
    done
fi

corpus_root=tests/fuzz/corpus
work=$(mktemp -d "${TMPDIR:-/tmp}/tavi-harden.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
rows=()    # the table's lines
figures=() # "name value" lines for harden-figures.txt

# Inputs larger than this are not tried; description files that amplify need more room
# (TAVI_FUZZ_REPLAY_MAX_SIZE_* in tests/fuzz/fuzz.cmake).
max_len() { case "$1" in node_map) echo 1048576 ;; *) echo 8192 ;; esac; }

configure() { # configure DIR COMPILER OPTIONS...
    local dir=$1 cc=$2 cxx
    shift 2
    cxx=${cc/gcc/g++}
    cxx=${cxx/clang/clang++}
    CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DTAVI_BUILD_BENCH=OFF "$@" >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; exit 1; }
}

build() { # build DIR TARGETS...
    local dir=$1
    shift
    nice ninja -C "$dir" "$@" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
}

# ---- builds -----------------------------------------------------------------------------------------
echo "== harden: building =="
configure build-fuzz clang -DTAVI_FUZZ=ON
fuzz_binaries=()
for name in $targets; do fuzz_binaries+=("fuzz_$name"); done
if [ "$do_fuzz" = 1 ]; then build build-fuzz "${fuzz_binaries[@]}"; fi
if [ "$do_soak" = 1 ]; then
    build build-fuzz tavi_soak
    [ -f build/CMakeCache.txt ] || configure build gcc
    build build tavi_soak tavi-virtual-camera
fi

# ---- fuzzing ----------------------------------------------------------------------------------------
# fuzz_one NAME: runs the target for fuzz_seconds on its corpus, keeps what it found.
fuzz_one() {
    local name=$1 binary=build-fuzz/tests/fuzz_$1 corpus=$corpus_root/$1
    local found=$work/found-$name artifacts=$work/artifacts-$name log=$work/fuzz-$name.log
    mkdir -p "$found" "$artifacts"
    local start=$SECONDS fuzz_status=0
    echo "== harden: fuzz_$name for $fuzz_seconds s =="
    "$binary" -max_total_time="$fuzz_seconds" -max_len="$(max_len "$name")" -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$found" "$corpus" >"$log" 2>&1 || fuzz_status=$?
    local seconds=$((SECONDS - start))
    local executions
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    local kept=0 artifact
    for artifact in "$artifacts"/*; do
        [ -f "$artifact" ] || continue
        local keep
        keep="$corpus/regression-$name-$(sha1sum "$artifact" | cut -c1-16)"
        cp "$artifact" "$keep"
        echo "harden: fuzz_$name: $(basename "$artifact") kept as $keep" >&2
        kept=$((kept + 1))
    done
    if [ "$fuzz_status" -ne 0 ] || [ "$kept" -ne 0 ]; then
        grep -E -m 5 'ERROR|SUMMARY|runtime error|expectation failed' "$log" >&2 || true
        status=1
    fi
    local added=0
    if [ "$do_merge" = 1 ] && [ "$kept" -eq 0 ]; then
        local before
        before=$(find "$corpus" -type f | wc -l)
        "$binary" -merge=1 -max_len="$(max_len "$name")" "$corpus" "$found" >"$work/merge-$name.log" 2>&1 ||
            { tail -n 5 "$work/merge-$name.log" >&2; status=1; }
        added=$(($(find "$corpus" -type f | wc -l) - before))
    fi
    rows+=("$(printf '%-28s %10s s %14s executions %6s new entries %4s faults' "fuzz_$name" "$seconds" \
        "${executions:-?}" "$added" "$kept")")
    figures+=("fuzz_${name}_seconds $seconds" "fuzz_${name}_executions ${executions:-0}"
        "fuzz_${name}_new_entries $added" "fuzz_${name}_faults $kept")
}

if [ "$do_fuzz" = 1 ]; then
    for name in $targets; do fuzz_one "$name"; done
fi

# ---- soak -------------------------------------------------------------------------------------------
# soak_run LABEL BUILD-DIR SOAK-OPTIONS...: the soak against one camera of the plain build; its
# figures land in $work/soak-LABEL.txt, its output in $work/soak-LABEL.log.
soak_run() {
    local label=$1 dir=$2
    shift 2
    echo "== harden: soak ($label) =="
    local soak_status=0
    TAVI_VIRTUAL_CAMERA=$PWD/build/tools/virtual-camera/tavi-virtual-camera \
        scripts/netns-run.sh --adapter tvh0,169.254.50.1/16 --camera "tvh0,169.254.50.2/16,--seed 11" \
        -- "$dir/tests/tavi_soak" --figures "$work/soak-$label.txt" "$@" >"$work/soak-$label.log" 2>&1 ||
        soak_status=$?
    local reports
    reports=$(grep -c -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$work/soak-$label.log" || true)
    if [ "$soak_status" -ne 0 ] || [ "$reports" -ne 0 ]; then
        grep -E 'soak: FAIL|ERROR:|runtime error:|SUMMARY' "$work/soak-$label.log" | head -n 20 >&2 || true
        status=1
    fi
    sed -n '/^phase /,$p' "$work/soak-$label.log"
    local line
    while read -r line; do figures+=("soak_${label}_$line"); done <"$work/soak-$label.txt" 2>/dev/null || true
    figures+=("soak_${label}_sanitizer_reports $reports")
    figure() { # the figure NAME of this run, 0 when it has none
        local value
        value=$(sed -n "s/^$1 //p" "$work/soak-$label.txt" 2>/dev/null)
        echo "${value:-0}"
    }
    rows+=("$(printf '%-28s %s/%s cycles, %s min at loss %s; frames complete %s / incomplete %s / lost %s; recovered by resend %s; sanitizer reports %s; %s' \
        "soak ($label)" "$(figure cycles_done)" "$(figure cycles_asked)" "$(figure stream_minutes)" "$(figure loss)" \
        "$(($(figure cycles_frames_complete) + $(figure lossy_frames_complete) + $(figure faults_frames_complete)))" \
        "$(($(figure cycles_frames_incomplete) + $(figure lossy_frames_incomplete) + $(figure faults_frames_incomplete)))" \
        "$(($(figure cycles_frames_lost) + $(figure lossy_frames_lost) + $(figure faults_frames_lost)))" \
        "$(figure lossy_frames_recovered_by_resend)" "$reports" \
        "$([ "$soak_status" -eq 0 ] && echo passed || echo FAILED)")")
    local phase
    for phase in cycles lossy faults; do
        rows+=("$(printf '  %-26s fds %s -> %s, threads %s -> %s, RSS %s -> %s KiB' "$phase" \
            "$(figure "${phase}_start_descriptors")" "$(figure "${phase}_end_descriptors")" \
            "$(figure "${phase}_start_threads")" "$(figure "${phase}_end_threads")" \
            "$(figure "${phase}_start_resident_kib")" "$(figure "${phase}_end_resident_kib")")")
    done
}

if [ "$do_soak" = 1 ]; then
    soak_run plain build --cycles "$cycles" --stream-minutes "$stream_minutes"
    ASAN_OPTIONS=detect_leaks=1 soak_run lsan build-fuzz --cycles "$lsan_cycles" \
        --stream-minutes "$lsan_stream_minutes"
fi

# ---- figures ----------------------------------------------------------------------------------------
mkdir -p build-fuzz
printf '%s\n' "date $(date -u +%Y-%m-%dT%H:%MZ)" "${figures[@]}" >build-fuzz/harden-figures.txt
echo
echo "== harden: figures ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores) =="
printf '%s\n' "${rows[@]}"
if [ "$status" -eq 0 ]; then echo "harden: passed"; else echo "harden: FAILED"; fi
exit "$status"
