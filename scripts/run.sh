#!/usr/bin/env bash
# The run command: installs what is missing, builds, and starts capture_server with the given
# options. Without a display it runs a short headless demo on a private Xvfb instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" release >/dev/null
bin="$root/build/release"

if [ -n "${DISPLAY:-}" ]; then
    exec "$bin/capture_server/capture_server" "$@"
fi

exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "$root/scripts/demo.sh" "$bin"
