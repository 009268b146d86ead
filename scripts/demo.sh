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

# The same scene streamed: capture_server's TCP server pushes frames to a stream_viewer.
server_log=$(mktemp)
viewer_log=$(mktemp)
"$bin/capture_server/capture_server" -geometry 560x640+1300+0 --port 0 --bind 127.0.0.1 \
    --area 0,0,640,480 --fps "$fps" --handler tcp --start >"$server_log" 2>&1 &
server=$!
trap 'kill $scene $server 2>/dev/null || true' EXIT
port=""
for _ in $(seq 50); do
    port=$(grep -m1 -o 'Port: [0-9]*' "$server_log" | cut -d' ' -f2 || true)
    [ -n "$port" ] && break
    sleep 0.1
done
start=$(date +%s.%N)
timeout 60 "$bin/stream_viewer/stream_viewer" -geometry +700+0 --host 127.0.0.1 --port "${port:-0}" \
    --frames "$frames" >"$viewer_log" 2>&1 || true
end=$(date +%s.%N)
kill "$server" 2>/dev/null || true
shown=$(grep -c '^TEXTURE UPDATED$' "$viewer_log" || true)
size=$(grep -A1 '^TEXTURE UPDATED$' "$viewer_log" | grep -v '^TEXTURE UPDATED$' | grep -v '^--$' | tail -n1 || true)
received=$(grep -c '^Complete image written!$' "$viewer_log" || true)
problems=$(grep -c -e '^Protocol error' -e '^Skipped' -e 'lost:' "$viewer_log" || true)
seconds=$(echo "$start $end" | awk '{ printf "%.1f", $2 - $1 }')
dimensions=$(echo "$size" | awk 'NF == 2 { printf "%sx%s", $2, $1 }')
echo "Viewer: stream_viewer received $received frames from capture_server (port ${port:-?}) and showed $shown,"
echo "        each ${dimensions:-of unknown size}, in ${seconds} s ($problems stream problems)."
rm -f "$server_log" "$viewer_log"
