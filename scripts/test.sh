#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors, and runs every
# test under a private Xvfb when no display is set. The same tests then run again built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the tests of the threaded code (label tsan:
# worker, parallelFor, codecs, history) run once more under ThreadSanitizer (preset tsan builds
# only those), and the frame fuzzer runs for a minute over its corpus (FUZZ_SECONDS to change
# that). Last, the Debian package is built from a release build and checked unpacked
# (packaging/check-package.sh). Arguments go to every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh ci
scripts/build.sh asan
scripts/build.sh tsan
scripts/build.sh fuzz
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
ctest --preset tsan -j "$(nproc)" "$@"
scripts/with-display.sh ctest --preset asan -j "$(nproc)" "$@"
scripts/with-display.sh ctest --preset ci -j "$(nproc)" "$@"
deb="$(scripts/package.sh)"
scripts/with-display.sh packaging/check-package.sh "$deb"
