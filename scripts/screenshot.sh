#!/usr/bin/env bash
# Takes a picture of the main window with the chapters of tests/data listed and saves it as
# docs/screenshot.png (or the path given). Runs the window under Xvfb, with openbox for the
# frame when it is installed; without Xvfb it falls back to the offscreen platform, which
# gives the client area only.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
out="${1:-docs/screenshot.png}"
mkdir -p "$(dirname "$out")"

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target lumbrella_screenshot >/dev/null

samples=(tests/data/*.txt)

shot="$build/bin/lumbrella_screenshot"
if command -v xvfb-run >/dev/null; then
  # shellcheck disable=SC2016
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
    if command -v openbox >/dev/null; then openbox >/dev/null 2>&1 & wm=$!; sleep 1; fi
    QT_QPA_PLATFORM=xcb "$@"; status=$?
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
    exit $status' screenshot "$shot" "$out" "${samples[@]}"
else
  QT_QPA_PLATFORM=offscreen "$shot" "$out" "${samples[@]}"
fi
echo "Saved $out"
