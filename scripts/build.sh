#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as BUILD_DIR). Extra arguments
# go to CMake. Warnings are errors when CI is set. TARGETS (blank-separated) builds only
# those targets and what they need.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMBRELLA_WERROR="$werror" "$@" >/dev/null
targets=()
[ -n "${TARGETS:-}" ] && read -ra targets <<<"$TARGETS"
cmake --build "$build" ${targets[@]+--target "${targets[@]}"}
