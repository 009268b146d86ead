#!/usr/bin/env bash
# Headless demo, run on a private X display: a moving scene and capture_server saving frames
# below ./capture in the current directory.
set -euo pipefail
bin="$1"
frames=60
fps=20

"$bin/bench/scene" --fps 30 &
scene=$!
trap 'kill $scene 2>/dev/null || true' EXIT
sleep 1

log=$(mktemp)
before=$(ls ./capture 2>/dev/null | grep -c '^pic[0-9]*\.jpg$' || true)
"$bin/capture_server/capture_server" --port 0 --area 0,0,640,480 --fps "$fps" --handler saver \
    --start --frames "$frames" >"$log" 2>&1
written=$(grep -c '^Writing: ' "$log" || true)
first=$(grep -m1 '^Writing: ' "$log" | sed 's/^Writing: //')
last=$(grep '^Writing: ' "$log" | tail -n1 | sed 's/^Writing: //')
rate=$(grep '^Captures/s ' "$log" | awk '{ s += $2; n++ } END { if (n) printf "%.1f", s / n }')
rm -f "$log"
echo "Demo: captured $written frames of the moving scene (area 0,0 640x480, target $fps fps, average ${rate} fps)"
echo "      into $(pwd)/capture: $first .. $last (the folder held $before earlier images, none overwritten)."
