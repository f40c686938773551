#!/usr/bin/env bash
# Splitting a whole novel at its headings against the same text as one file per chapter (not a
# test: run it by hand on a quiet machine; figures in bench/README.md). Generates a 13 MB novel
# with 800 headings (第1章 ... 第800章) and the same 800 chapters as files of their own, converts
# both with lumbrella-cli, interleaved (A B A B ...), and prints the medians and ranges of CPU
# time (user + sys), wall time and peak memory, and of the ratio pair by pair. Target: the
# split at most 1.1 x the many files, CPU time.
#
#   bench/split_bench.sh            (build/bin/lumbrella-cli; BUILD_DIR=... for another)
#   RUNS=15 bench/split_bench.sh    (pairs, 9 by default)
#
# The program stages where it always does: in the session's folder in memory
# ($XDG_RUNTIME_DIR) when there is one, else on disk under $TMPDIR or /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

cli="$PWD/${BUILD_DIR:-build}/bin/lumbrella-cli"
runs="${RUNS:-9}"
[ -x "$cli" ] || { echo "no $cli: build first (scripts/build.sh)" >&2; exit 1; }
bench_tools

work="$(mktemp -d "${TMPDIR:-/tmp}/split-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/chapters"

# 800 chapters of about 16 KiB of UTF-8 each, CR LF line ends: a heading line, then
# paragraphs of common characters with full-width punctuation, indented by two U+3000 as
# Chinese novels are. The novel is the chapters one after another.
python3 - "$work" <<'PY'
import os, random, sys
rng = random.Random(20240607)
common = ("的一是不了人我在有他这中大来上个国到说们为子和你地出道也时年得就那要下以生会自着去"
          "之过家学对可她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又"
          "如前所本见经头面公同三已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明"
          "雨伞书店门窗灯夜风山水云路桥城河花草树鸟春夏秋冬晨昏旧新远近")
out, count = sys.argv[1], 800
per = 13 * 1000 * 1000 // count
with open(os.path.join(out, "novel.txt"), "wb") as novel:
    for i in range(count):
        title = "".join(rng.choice(common) for _ in range(rng.randint(2, 6)))
        parts, size = [f"第{i + 1}章 {title}\r\n"], 0
        while size < per:
            line = "".join(rng.choice(common) for _ in range(rng.randint(20, 90)))
            parts.append("\u3000\u3000" + line[:len(line) // 2] + "，" + line[len(line) // 2:] + "。\r\n")
            size += len(parts[-1].encode("utf-8"))
        chapter = "".join(parts).encode("utf-8")
        novel.write(chapter)
        with open(os.path.join(out, "chapters", f"{i + 1:03d}.txt"), "wb") as f:
            f.write(chapter)
PY

cd "$work"
"$cli" -s -o check.epub novel.txt 2>&1 >/dev/null | grep -q "novel.txt: 800 chapters$" || {
  echo "the novel was not split into 800 chapters" >&2; exit 1; }

echo "input: one file of $(stat -c %s novel.txt | awk '{printf "%.1f", $1 / 1e6}') MB with" \
  "800 headings, or 800 files; staging: ${XDG_RUNTIME_DIR:-disk (${TMPDIR:-/tmp})};" \
  "$(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
out="$(bench_pair "A lumbrella-cli -s novel.txt, B lumbrella-cli chapters/*.txt" "$runs" \
  "" "rm -f split.epub; exec '$cli' -q -s -o split.epub novel.txt" \
  "" "rm -f files.epub; exec '$cli' -q -o files.epub chapters/*.txt")"
echo "$out"
ratio="$(bench_median "A/B cpu" <<<"$out")"
awk -v r="$ratio" 'BEGIN { printf "median ratio: %s x  (target <= 1.1)  %s\n", r,
  (r <= 1.1 ? "ok" : "MISSED") }'
