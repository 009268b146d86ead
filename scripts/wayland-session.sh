#!/usr/bin/env bash
# Runs a command inside a private headless Wayland desktop: sway on one 1280x720 output
# (HEADLESS-1, magenta background, Xwayland on), PipeWire with WirePlumber, the ScreenCast
# portal and its backend, on a D-Bus session bus of its own. Nothing of the caller's desktop is
# touched. Usage:
#
#     scripts/wayland-session.sh [--refuse|--ask-once] [--] COMMAND [ARGUMENTS...]
#
# --refuse: the portal's backend refuses to share any monitor (as if the user cancelled).
# --ask-once: the backend's chooser shares the monitor the first time it is asked and refuses
#             every later time, so only a restore token gets a second stream.
# The command sees WAYLAND_DISPLAY, DISPLAY (Xwayland), XDG_SESSION_TYPE=wayland,
# DBUS_SESSION_BUS_ADDRESS and SWAYSOCK of the session, and DESKCAST_WAYLAND_SESSION=1. When the
# session cannot start, the command runs anyway with DESKCAST_WAYLAND_UNAVAILABLE set to the
# reason (tests skip with it) and on Qt's offscreen platform. The exit status is the command's.
# DESKCAST_TEST_PRELOAD becomes LD_PRELOAD for the command only, not for the session's programs.
#
# sway refuses to run as root: as root the session runs as the user deskcast-wl (made once,
# without a home), and so does the command. What is missing is installed first (apt-get, and
# the portal backend built once; see scripts/wayland/install-portal-backend.sh).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

refuse=0
ask_once=0
inner=0
while [ $# -gt 0 ]; do
    case "$1" in
        --refuse) refuse=1; shift ;;
        --ask-once) ask_once=1; shift ;;
        --inner) inner=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: $0 [--refuse|--ask-once] [--] COMMAND [ARGUMENTS...]" >&2
    exit 2
fi

run_command() {
    if [ -n "${DESKCAST_TEST_PRELOAD:-}" ]; then
        LD_PRELOAD="$DESKCAST_TEST_PRELOAD" "$@"
    else
        "$@"
    fi
}

unavailable() {
    local reason="$1"
    shift
    echo "wayland-session: $reason" >&2
    export DESKCAST_WAYLAND_UNAVAILABLE="$reason" QT_QPA_PLATFORM=offscreen
    run_command "$@"
    exit $?
}

# Polls for a condition, up to `seconds`, for a process that is starting.
wait_for() {
    local seconds="$1"; shift
    local tries=$((seconds * 20))
    while [ $tries -gt 0 ]; do
        if "$@"; then return 0; fi
        sleep 0.05
        tries=$((tries - 1))
    done
    return 1
}

if [ "$inner" -eq 0 ]; then
    backend="$("$here/wayland/install-portal-backend.sh" 2>/tmp/deskcast-wayland-install.log | tail -n 1)"
    if [ ! -x "$backend" ]; then
        reason="the Wayland session's packages could not be installed (see /tmp/deskcast-wayland-install.log)"
        echo "wayland-session: $reason" >&2
        export DESKCAST_WAYLAND_UNAVAILABLE="$reason" QT_QPA_PLATFORM=offscreen
        run_command "$@"
        exit $?
    fi
    export DESKCAST_PORTAL_BACKEND="$backend"
    args=(--inner)
    [ "$refuse" -eq 1 ] && args+=(--refuse)
    [ "$ask_once" -eq 1 ] && args+=(--ask-once)
    if [ "$(id -u)" -eq 0 ]; then
        user=deskcast-wl
        id -u "$user" >/dev/null 2>&1 || useradd -M -r -s /usr/sbin/nologin "$user"
        if ! runuser -u "$user" -- sh -c 'command -v "$1" >/dev/null && [ -r "$2" ]' sh "$1" "$0"; then
            # A checkout below a private folder (root's home, say): let the session's user pass
            # through the folders above it (search only, not listing), and say so.
            for start in "$(readlink -f "$1")" "$(readlink -f "$0")"; do
                folder="$(dirname "$start")"
                while [ "$folder" != "/" ]; do
                    if [ "$(( $(stat -c '%a' "$folder" | sed 's/.*\(.\)$/\1/') & 1 ))" -eq 0 ]; then
                        echo "wayland-session: letting $user pass through $folder (chmod o+x)" >&2
                        chmod o+x "$folder"
                    fi
                    folder="$(dirname "$folder")"
                done
            done
        fi
        if ! runuser -u "$user" -- sh -c 'command -v "$1" >/dev/null' sh "$1"; then
            echo "wayland-session: the user $user cannot run $1: a folder on its path is closed to other users" >&2
            exit 1
        fi
        exec runuser -u "$user" -- "$0" "${args[@]}" -- "$@"
    fi
    exec "$0" "${args[@]}" -- "$@"
fi

# From here on: an ordinary user, inside nothing yet.
if [ -z "${DBUS_STARTER_ADDRESS:-}${DESKCAST_IN_BUS:-}" ]; then
    runtime="$(mktemp -d /tmp/deskcast-wl-run.XXXXXX)" || unavailable "no temporary folder" "$@"
    chmod 700 "$runtime"
    mkdir -p "$runtime/home"
    export XDG_RUNTIME_DIR="$runtime" HOME="$runtime/home" DESKCAST_IN_BUS=1
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME
    args=(--inner)
    [ "$refuse" -eq 1 ] && args+=(--refuse)
    [ "$ask_once" -eq 1 ] && args+=(--ask-once)
    dbus-run-session -- "$0" "${args[@]}" -- "$@"
    status=$?
    rm -rf "$runtime"
    exit $status
fi

pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT
log="$XDG_RUNTIME_DIR/session.log"

pipewire >>"$log" 2>&1 &
pids+=($!)
wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || unavailable "PipeWire did not start (log: $log)" "$@"
wireplumber >>"$log" 2>&1 &
pids+=($!)

cat >"$XDG_RUNTIME_DIR/sway.conf" <<'EOF'
output HEADLESS-1 resolution 1280x720 position 0,0 bg #ff00ff solid_color
default_border none
default_floating_border none
xwayland enable
EOF
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    sway -c "$XDG_RUNTIME_DIR/sway.conf" >>"$log" 2>&1 &
sway_pid=$!
pids+=($sway_pid)
socket_ready() { compgen -G "$XDG_RUNTIME_DIR/wayland-*[0-9]" >/dev/null && compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" >/dev/null; }
wait_for 10 socket_ready || unavailable "sway did not start (log: $log)" "$@"
WAYLAND_DISPLAY="$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-*[0-9]" | head -n 1)")"
SWAYSOCK="$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -n 1)"
export WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE SWAYSOCK

has_name() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
# The backend first: were the portal first, D-Bus would start the stock backend, which needs a GPU.
{
    echo '[screencast]'
    echo 'output_name=HEADLESS-1'
    echo 'max_fps=60'
    if [ "$refuse" -eq 1 ]; then
        echo 'chooser_type=simple'
        echo 'chooser_cmd=false'
    elif [ "$ask_once" -eq 1 ]; then
        echo 'chooser_type=simple'
        echo "chooser_cmd=$XDG_RUNTIME_DIR/chooser.sh"
    else
        echo 'chooser_type=none'
    fi
} >"$XDG_RUNTIME_DIR/xdpw.conf"
cat >"$XDG_RUNTIME_DIR/chooser.sh" <<'CHOOSER'
#!/bin/sh
# The user shares the output when first asked and refuses every later time.
[ -e "$XDG_RUNTIME_DIR/asked" ] && exit 1
touch "$XDG_RUNTIME_DIR/asked"
echo HEADLESS-1
CHOOSER
chmod +x "$XDG_RUNTIME_DIR/chooser.sh"
"$DESKCAST_PORTAL_BACKEND" -l "${DESKCAST_PORTAL_LOGLEVEL:-ERROR}" -c "$XDG_RUNTIME_DIR/xdpw.conf" >>"$log" 2>&1 &
backend_pid=$!
pids+=($backend_pid)
wait_for 10 has_name org.freedesktop.impl.portal.desktop.wlr || unavailable "the portal backend did not start (log: $log)" "$@"
/usr/libexec/xdg-desktop-portal >>"$log" 2>&1 &
pids+=($!)
wait_for 10 has_name org.freedesktop.portal.Desktop || unavailable "the desktop portal did not start (log: $log)" "$@"

# Xwayland's display, as sway's own children see it.
swaymsg exec "echo \$DISPLAY > $XDG_RUNTIME_DIR/display" >/dev/null
wait_for 10 test -s "$XDG_RUNTIME_DIR/display" && DISPLAY="$(cat "$XDG_RUNTIME_DIR/display")" && export DISPLAY

export DESKCAST_WAYLAND_SESSION=1 DESKCAST_SWAY_PID=$sway_pid DESKCAST_PORTAL_BACKEND_PID=$backend_pid
unset DESKCAST_WAYLAND_UNAVAILABLE DESKCAST_IN_BUS
run_command "$@"
exit $?
