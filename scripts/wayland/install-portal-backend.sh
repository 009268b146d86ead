#!/usr/bin/env bash
# Installs what capture on Wayland and its tests need: the compositor, PipeWire, the ScreenCast
# portal, and a portal backend that accepts shared-memory buffers (a one-line patch so the
# backend accepts shared-memory buffers, for machines without a GPU). The patched backend is
# built once from Debian's own source and kept below $DESKCAST_CACHE (default
# ~/.cache/deskcast); a second run finds it there and does nothing.
# Prints the path of the patched backend's binary on its last line.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# As root the cache is system-wide: the session runs the backend as an ordinary user.
if [ "$(id -u)" -eq 0 ]; then default_cache=/var/cache/deskcast; else default_cache="${XDG_CACHE_HOME:-$HOME/.cache}/deskcast"; fi
cache="${DESKCAST_CACHE:-$default_cache}"
binary="$cache/xdpw-shm/xdg-desktop-portal-wlr"

packages=(
    sway swaybg xwayland xdg-desktop-portal xdg-desktop-portal-wlr pipewire pipewire-bin wireplumber
    dbus dbus-user-session libpipewire-0.3-dev qt6-wayland
)
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    $sudo apt-get update >&2
    $sudo apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi

if [ -x "$binary" ]; then
    echo "$binary"
    exit 0
fi

# Debian's source of the backend, with its build dependencies.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src .*bookworm' /etc/apt/sources.list; then
    # deb822 form, with the same key as Debian's own entry (apt refuses two different ones).
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' | $sudo tee /etc/apt/sources.list.d/deskcast-src.sources >&2
    $sudo apt-get update >&2
fi
$sudo apt-get build-dep -y xdg-desktop-portal-wlr >&2
$sudo apt-get install -y --no-install-recommends dpkg-dev >&2

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(
    cd "$work"
    apt-get source xdg-desktop-portal-wlr >&2
    cd xdg-desktop-portal-wlr-*/
    patch -p1 < "$here/xdpw-shm-only.patch" >&2
    meson setup build -Dman-pages=disabled >&2
    ninja -C build >&2
    mkdir -p "$(dirname "$binary")"
    cp build/xdg-desktop-portal-wlr "$binary.tmp"
    mv "$binary.tmp" "$binary"
)
echo "$binary"
