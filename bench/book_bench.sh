#!/usr/bin/env bash
# End-to-end benchmark of a conversion: generates 200 chapter files holding 13 MB of
# Chinese text, converts them with lumbrella-cli, and times the same work done by pandoc
# (-f commonmark -t epub2) and by zip -q -6 -r of the staged tree. Prints times, ratios
# and peak memory against the targets. Not a test: run it by hand on an idle machine.
#
#   bench/book_bench.sh            (uses build/bin/lumbrella-cli; BUILD_DIR=... for another)
#   RUNS=5 bench/book_bench.sh     (best of RUNS timings, 3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

cli="${BUILD_DIR:-build}/bin/lumbrella-cli"
runs="${RUNS:-3}"
[ -x "$cli" ] || { echo "no $cli: build first (scripts/build.sh)" >&2; exit 1; }

# The bench's own tools, not needed by the tests.
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v pandoc >/dev/null || missing+=(pandoc)
command -v zip >/dev/null || missing+=(zip)
command -v unzip >/dev/null || missing+=(unzip)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y "${missing[@]}" >/dev/null
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/book-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/chapters" "$work/staged"

# 200 chapters, 13 MiB of UTF-8 in all: sentences of common characters with full-width
# punctuation, one paragraph a line, CR LF line ends as Windows editors write them.
python3 - "$work/chapters" <<'PY'
import random, sys, os
random.setstate(random.Random(20240607).getstate())
common = ("的一是不了人我在有他这中大来上个国到说们为子和你地出道也时年得就那要下以生会自着去"
          "之过家学对可她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又"
          "如前所本见经头面公同三已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明"
          "雨伞书店门窗灯夜风山水云路桥城河花草树鸟春夏秋冬晨昏旧新远近")
target, count = 13 * 1024 * 1024, 200
per = target // count
for i in range(count):
    parts, size = [], 0
    while size < per:
        line = "".join(random.choice(common) for _ in range(random.randint(20, 90)))
        line = line[:len(line) // 2] + "，" + line[len(line) // 2:] + "。\r\n"
        parts.append(line)
        size += len(line.encode("utf-8"))
    with open(os.path.join(sys.argv[1], f"第{i + 1:03d}章.txt"), "wb") as f:
        f.write("".join(parts).encode("utf-8"))
PY
total=$(du -cb "$work"/chapters/*.txt | tail -1 | cut -f1)
largest=$(stat -c %s "$work"/chapters/*.txt | sort -n | tail -1)

# Best wall time (seconds) and the peak resident set (KiB) of that run.
measure() {
  local best="" rss="" i
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1 || {
      echo "failed: $*" >&2; exit 1; }
    local wall kb
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, t, ":"); s = 0; for (j = 1; j <= n; j++) s = s * 60 + t[j]; print s }' \
      "$work/time.txt")
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN {exit !(a < b)}'; then
      best=$wall
      rss=$kb
    fi
  done
  echo "$best $rss"
}

cd "$work"
# A fresh book each run (an existing one would be updated); exec keeps one process to measure.
cli="$OLDPWD/$cli"
read -r t_cli m_cli < <(measure sh -c 'rm -f book.epub; exec "$0" -t 基准 -a bench -o book.epub chapters/*.txt' "$cli")
# The staged tree is exactly what the book holds.
(cd staged && unzip -q ../book.epub)
read -r t_zip m_zip < <(measure sh -c 'rm -f ../tree.zip; cd staged && zip -q -6 -r ../tree.zip .')
read -r t_pandoc m_pandoc < <(measure pandoc -f commonmark -t epub2 --metadata title=基准 \
  -o pandoc.epub chapters/*.txt)

awk -v total="$total" -v largest="$largest" -v tc="$t_cli" -v mc="$m_cli" -v tz="$t_zip" \
    -v mz="$m_zip" -v tp="$t_pandoc" -v mp="$m_pandoc" -v book="$(stat -c %s book.epub)" \
    -v zipped="$(stat -c %s tree.zip)" -v runs="$runs" 'BEGIN {
  mib = 1024 * 1024
  limit = 3 * largest / 1024 + 16 * 1024
  printf "input: 200 chapters, %.1f MiB (largest %.0f KiB); best of %d runs\n", total / mib, largest / 1024, runs
  printf "%-24s %8s %12s\n", "", "seconds", "peak KiB"
  printf "%-24s %8.2f %12d   book %.2f MiB\n", "lumbrella-cli", tc, mc, book / mib
  printf "%-24s %8.2f %12d   archive %.2f MiB\n", "zip -q -6 -r (staged)", tz, mz, zipped / mib
  printf "%-24s %8.2f %12d\n", "pandoc -t epub2", tp, mp
  printf "pandoc / lumbrella-cli: %6.1f x  (target >= 10)   %s\n", tp / tc, (tp / tc >= 10 ? "ok" : "MISSED")
  printf "lumbrella-cli / zip -6: %6.2f x  (target <= 1.3)  %s\n", tc / tz, (tc / tz <= 1.3 ? "ok" : "MISSED")
  printf "peak memory: %d KiB of %d KiB allowed (3 x largest chapter + 16 MiB)  %s\n", mc, limit, (mc < limit ? "ok" : "MISSED")
}'
