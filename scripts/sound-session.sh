#!/usr/bin/env bash
# Runs a command inside a private headless sound session: PipeWire with WirePlumber and its
# PulseAudio server, on a D-Bus session bus of its own, with two null sinks: `speakers`, the
# default output (its monitor is the system sound), and `mic`, whose monitor `mic.monitor` is the
# default input (the microphone). Nothing of the caller's sound is touched, and everything is
# torn down after. DESKCAST_SPEAKERS_RATE, when set, is the speakers' sample rate. Usage:
#
#     scripts/sound-session.sh [--] COMMAND [ARGUMENTS...]
#
# The command sees XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and PULSE_SERVER of the session and
#   DESKCAST_SOUND_SESSION=1
#   DESKCAST_PIPEWIRE_PID       the server's process (to end it under a running capture)
#   DESKCAST_SPEAKERS_MODULE    the PulseAudio module number of `speakers` (pactl unload-module)
#   DESKCAST_MIC_MODULE         the same for `mic`
# When the session cannot start, the command runs anyway with DESKCAST_SOUND_UNAVAILABLE set to
# the reason (tests skip with it). The exit status is the command's. DESKCAST_TEST_PRELOAD
# becomes LD_PRELOAD for the command only, not for the session's programs.
set -uo pipefail

inner=0
while [ $# -gt 0 ]; do
    case "$1" in
        --inner) inner=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: $0 [--] COMMAND [ARGUMENTS...]" >&2
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
    echo "sound-session: $reason" >&2
    export DESKCAST_SOUND_UNAVAILABLE="$reason"
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
    for program in dbus-run-session pipewire wireplumber pipewire-pulse pactl; do
        command -v "$program" >/dev/null || unavailable "$program is missing (scripts/install-deps.sh installs it)" "$@"
    done
    runtime="$(mktemp -d /tmp/deskcast-sound.XXXXXX)" || unavailable "no temporary folder" "$@"
    chmod 700 "$runtime"
    mkdir -p "$runtime/home"
    # A fresh home: WirePlumber would otherwise restore defaults and volumes another session saved.
    export XDG_RUNTIME_DIR="$runtime" HOME="$runtime/home"
    unset DBUS_SESSION_BUS_ADDRESS PULSE_SERVER PIPEWIRE_REMOTE XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME
    dbus-run-session -- "$0" --inner -- "$@"
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
pipewire_pid=$!
pids+=($pipewire_pid)
wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || unavailable "PipeWire did not start (log: $log)" "$@"
wireplumber >>"$log" 2>&1 &
pids+=($!)
pipewire-pulse >>"$log" 2>&1 &
pids+=($!)
wait_for 10 test -S "$XDG_RUNTIME_DIR/pulse/native" || unavailable "pipewire-pulse did not start (log: $log)" "$@"
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
wait_for 10 pactl info >/dev/null 2>&1 || unavailable "the PulseAudio server does not answer (log: $log)" "$@"

speakers="$(pactl load-module module-null-sink sink_name=speakers ${DESKCAST_SPEAKERS_RATE:+rate=$DESKCAST_SPEAKERS_RATE})" || unavailable "no null sink (log: $log)" "$@"
mic="$(pactl load-module module-null-sink sink_name=mic)" || unavailable "no null sink (log: $log)" "$@"
# Both must be known to the session manager before they can be made the defaults.
has_sinks() { pactl list short sinks | grep -q '	speakers	' && pactl list short sinks | grep -q '	mic	'; }
wait_for 10 has_sinks || unavailable "the null sinks did not appear (log: $log)" "$@"
pactl set-default-sink speakers
pactl set-default-source mic.monitor
defaults_set() { [ "$(pactl get-default-sink)" = speakers ] && [ "$(pactl get-default-source)" = mic.monitor ]; }
wait_for 10 defaults_set || unavailable "the default devices could not be set (log: $log)" "$@"

export DESKCAST_SOUND_SESSION=1 DESKCAST_PIPEWIRE_PID=$pipewire_pid
export DESKCAST_SPEAKERS_MODULE="$speakers" DESKCAST_MIC_MODULE="$mic"
unset DESKCAST_SOUND_UNAVAILABLE
run_command "$@"
exit $?
