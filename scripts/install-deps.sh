#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmark need.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6opengl6-dev qt6-websockets-dev
    libgl-dev libgl1-mesa-dri libglx-mesa0 mesa-utils
    libdeflate-dev libisal-dev libturbojpeg0-dev libxcb1-dev libxcb-shm0-dev libxcb-xfixes0-dev
    libxcb-xinput-dev libxcb-keysyms1-dev
    xvfb xauth x11-utils x11-xserver-utils xdotool imagemagick fonts-dejavu-core
    clang libclang-rt-dev zlib1g-dev
    libxcb-ewmh-dev libxcb-icccm4-dev
    chromium
    libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg nginx-light libnginx-mod-rtmp
    libpipewire-0.3-dev libswresample-dev libopus0 libyuv-dev
    pipewire pipewire-bin wireplumber pipewire-pulse dbus pulseaudio-utils sox
    help2man librsvg2-bin file desktop-file-utils appstream lintian
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Capture on Wayland and its test session: compositor, PipeWire, the portal and its backend
# (built once, then cached).
"$(dirname "$0")/wayland/install-portal-backend.sh" >/dev/null
