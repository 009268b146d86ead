#!/usr/bin/env bash
# Runs the frame fuzzer of the fuzz preset for N seconds (default 60) over the committed seed
# corpus, and fails on any finding (crash, sanitizer report, leak, allocation above the frame
# limit, input slower than 10 s). Inputs it discovers go to a scratch directory: fuzz/corpus stays
# as committed. Findings are kept in build/fuzz/findings. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
fuzzer=build/fuzz/fuzz/fuzz_frames
[ -x "$fuzzer" ] || scripts/build.sh fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/findings"
# Frames may claim 256 MiB and so may an image's pixels: one allocation of exactly that is allowed.
# libpng prints every broken file to stderr: the fuzzer closes it (its own and the sanitizers'
# reports still come out).
if ! "$fuzzer" -max_total_time="$seconds" -dict=fuzz/frames.dict -malloc_limit_mb=257 -rss_limit_mb=2048 \
        -timeout=10 -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/findings/" \
        "$work/corpus" fuzz/corpus >"$work/log" 2>&1; then
    grep -v -e '^#[0-9]' "$work/log" | tail -n 80
    mkdir -p build/fuzz/findings
    cp "$work"/findings/* build/fuzz/findings/ 2>/dev/null || true
    echo "fuzz: FAILED, inputs kept in build/fuzz/findings: $(ls "$work/findings" | tr '\n' ' ')"
    exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
echo "fuzz: ${runs:-?} inputs in ${seconds} s from $(ls fuzz/corpus | wc -l) seed frames, no finding"
