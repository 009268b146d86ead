#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, the release build of both programs with
# their man pages, bash completion and icons (DESKCAST_PACKAGE), then CPack's DEB generator.
# Prints the package's path (build/release/package/deskcast_VERSION_ARCH.deb) on standard output;
# everything else goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
{
    scripts/install-deps.sh
    cmake --preset release -DDESKCAST_PACKAGE=ON >/dev/null
    cmake --build --preset release --target capture_server stream_viewer deskcast_packaging
} >&2
if ! (cd build/release && cpack -G DEB) >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
cat "$log" >&2
sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log"
