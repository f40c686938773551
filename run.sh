#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program on the chapters in examples/.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
./scripts/build.sh
if [ -x build/bin/lumbrella ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec build/bin/lumbrella examples/*.txt
fi
if [ -x build/bin/lumbrella-cli ]; then
  mkdir -p out
  exec build/bin/lumbrella-cli -t "Lumbrella 示例" -a "Lumbrella" -o out/examples.epub examples/*.txt
fi
echo "Built into build/bin/."
