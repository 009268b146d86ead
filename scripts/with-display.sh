#!/usr/bin/env bash
# Runs a command with an X display: the current one when DISPLAY is set, otherwise a private
# Xvfb screen of 1920x1080 at 24 bits that lives as long as the command. -noreset: the server
# must not reset (and refuse connections meanwhile) each time the last of the programs under
# test closes its connection.
set -euo pipefail
# The tests run here are X11's: on a Wayland desktop capture_server would otherwise read the
# screen through the portal (scripts/wayland-session.sh makes a Wayland session of its own).
unset WAYLAND_DISPLAY
export XDG_SESSION_TYPE=x11
if [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi
exec xvfb-run -a -s "-screen 0 ${XVFB_SCREEN:-1920x1080x24} -nolisten tcp -noreset" "$@"
