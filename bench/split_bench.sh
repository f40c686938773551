#!/usr/bin/env bash
# Splitting a whole novel at its headings against the same text as one file per chapter:
# generates a 13 MB novel with 800 headings (第1章 ... 第800章) and the same 800 chapters as
# files of their own, then converts both with lumbrella-cli, interleaved (split, files, split,
# files, ...), and compares the CPU time (user + sys) of each pair. Prints the median of the
# pair ratios against the target: the split at most 1.1 x the many files. Not a test: run it
# by hand on an idle machine.
#
#   bench/split_bench.sh            (uses build/bin/lumbrella-cli; BUILD_DIR=... for another)
#   PAIRS=15 bench/split_bench.sh   (pairs of runs, 9 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

cli="$PWD/${BUILD_DIR:-build}/bin/lumbrella-cli"
pairs="${PAIRS:-9}"
[ -x "$cli" ] || { echo "no $cli: build first (scripts/build.sh)" >&2; exit 1; }
if [ ! -x /usr/bin/time ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y time >/dev/null
fi

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
# CPU seconds (user + sys) of one conversion into a fresh book.
cpu() {
  rm -f book.epub
  /usr/bin/time -f "%U %S" -o time.txt "$@" >/dev/null 2>err.txt || {
    cat err.txt >&2; echo "failed: $*" >&2; exit 1; }
  awk '{printf "%.3f\n", $1 + $2}' time.txt
}
split=() files=()
for ((i = 0; i < pairs; i++)); do
  split+=("$(cpu "$cli" -s -o book.epub novel.txt)")
  files+=("$(cpu "$cli" -o book.epub chapters/*.txt)")
done
"$cli" -s -o book.epub novel.txt 2>&1 >/dev/null | grep -q "novel.txt: split into 800 chapters" || {
  echo "the novel was not split into 800 chapters" >&2; exit 1; }

python3 - "$(stat -c %s novel.txt)" "${split[*]}" "${files[*]}" <<'PY'
import statistics, sys
size = int(sys.argv[1])
split = [float(x) for x in sys.argv[2].split()]
files = [float(x) for x in sys.argv[3].split()]
ratios = [s / f for s, f in zip(split, files)]
median = statistics.median(ratios)
print(f"input: one file of {size / 1e6:.1f} MB with 800 headings, or 800 files; {len(ratios)} pairs")
print(f"CPU seconds (user + sys), median: split {statistics.median(split):.3f}, "
      f"800 files {statistics.median(files):.3f}")
print("pair ratios split / files: " + " ".join(f"{r:.3f}" for r in ratios))
print(f"median ratio: {median:.3f} x  (target <= 1.1)  {'ok' if median <= 1.1 else 'MISSED'}")
PY
