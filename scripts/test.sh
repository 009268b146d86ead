#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors, and runs every
# test under a private Xvfb when no display is set. The same tests then run again built with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the frame fuzzer runs for a minute over
# its corpus (FUZZ_SECONDS to change that). Arguments go to both ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh ci
scripts/build.sh asan
scripts/build.sh fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
scripts/with-display.sh ctest --preset asan -j "$(nproc)" "$@"
scripts/with-display.sh ctest --preset ci -j "$(nproc)" "$@"
