#!/usr/bin/env bash
# Installs what is missing, builds the two programs (nothing else) into build-run/, and
# runs the window on the chapters in examples/; without a display, converts them with the
# command line to out/examples.epub and prints where the book is.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
BUILD_DIR=build-run TARGETS="lumbrella lumbrella-cli" ./scripts/build.sh \
  -DCMAKE_BUILD_TYPE=Release -DLUMBRELLA_BUILD_TESTS=OFF
if [ -x build-run/bin/lumbrella ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec build-run/bin/lumbrella examples/*.txt
fi
mkdir -p out
exec build-run/bin/lumbrella-cli -t "Lumbrella 示例" -a "Lumbrella" -o out/examples.epub examples/*.txt
