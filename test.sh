#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. On CI (or with SANITIZE=1) the
# core is built once more under AddressSanitizer and UndefinedBehaviorSanitizer and its
# tests run again there.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
./scripts/build.sh
export QT_QPA_PLATFORM=offscreen
(cd build && ctest --output-on-failure -j2)
if [ -n "${CI:-}" ] || [ -n "${SANITIZE:-}" ]; then
  BUILD_DIR=build-sanitize ./scripts/build.sh -DLUMBRELLA_SANITIZE=ON -DLUMBRELLA_BUILD_APP=OFF
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j2 -LE no_sanitize)
fi
if [ -n "${CI:-}" ]; then ./scripts/fuzz.sh; fi  # each fuzz target 60 s under ASan and UBSan
