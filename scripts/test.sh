#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors, and runs every
# test under a private Xvfb when no display is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh ci
scripts/with-display.sh ctest --preset ci -j "$(nproc)" "$@"
