#!/bin/sh
# Runs a test program on an X display of its own that Qt sees as two monitors side by side: one
# 2560x1024 Xvfb screen split into two RandR monitors of 1280x1024, the left one primary.
# -noreset keeps the monitors: the server would drop them when xrandr, its only client, leaves.
# DESKCAST_TEST_PRELOAD becomes LD_PRELOAD for the test program only, not for the X server.
set -eu
exec xvfb-run -a -s "-screen 0 2560x1024x24 -noreset -nolisten tcp" sh -c 'set -e
    xrandr --setmonitor DESKCAST-LEFT 1280/340x1024/270+0+0 screen >/dev/null
    xrandr --setmonitor DESKCAST-RIGHT 1280/340x1024/270+1280+0 none >/dev/null
    if [ -n "${DESKCAST_TEST_PRELOAD:-}" ]; then export LD_PRELOAD="$DESKCAST_TEST_PRELOAD"; fi
    exec "$@"' twomonitors "$@"
