#!/usr/bin/env bash
# End-to-end benchmark of lumbrella-cli, five rows (not a test: run it by hand on a quiet
# machine; figures in bench/README.md):
#   1. a conversion of 200 chapters (13 MiB of Chinese text) against zip -q -6 -r of the
#      same book unpacked, CPU time (user + sys)                      target <= 1.1 x
#   2. the same for 1,000 chapters of 4 KB                              target <= 3 x
#   3. peak memory converting one chapter of 100 MB     target <= 15 MiB + 1 x the chapter
#   4. an update of a 1,000-chapter, 97 MB book after one chapter changed against
#      building it anew, CPU time                                      target <= 0.3 x
# and, for what finding the encoding of a file without a mark costs, rows 1 and 3 with the
# chapters in GBK and in Big5 (1b, 1c, 3b; no targets).
# Each pair runs interleaved (A B A B ...); medians and ranges are printed.
#
#   bench/book_bench.sh               (build/bin/lumbrella-cli; BUILD_DIR=... for another)
#   RUNS=9 bench/book_bench.sh        (pairs per row: 7 for rows 1, 2, 5, RUNS_BIG=3 for 3, 4)
#   STAGING=disk bench/book_bench.sh  (stage on disk even where a session folder is in memory)
#   PANDOC=1 bench/book_bench.sh      (also pandoc -t epub2 on row 1's chapters)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

build="${BUILD_DIR:-build}"
[[ "$build" == /* ]] || build="$PWD/$build"
cli="$build/bin/lumbrella-cli"
runs="${RUNS:-7}"
runs_big="${RUNS_BIG:-3}"
[ -x "$cli" ] || { echo "no $cli: build first (scripts/build.sh)" >&2; exit 1; }
tools=(zip unzip)
[ -n "${PANDOC:-}" ] && tools+=(pandoc)
bench_tools "${tools[@]}"

work="$(mktemp -d "${TMPDIR:-/tmp}/book-bench-XXXXXX")"
runtime=""
trap 'rm -rf "$work" ${runtime:+"$runtime"}' EXIT

# Where the program stages: the session's folder in memory (XDG_RUNTIME_DIR) as a desktop
# session gives one, else disk. Without a session (a shell over ssh, CI) a folder of this
# user's alone on /dev/shm stands in for it, unless STAGING=disk.
if [ "${STAGING:-}" = disk ]; then
  mkdir -p "$work/tmp"
  export TMPDIR="$work/tmp"
  staging="disk ($TMPDIR)"
else
  unset TMPDIR
  if [ -z "${XDG_RUNTIME_DIR:-}" ] && [ -d /dev/shm ]; then
    runtime="$(mktemp -d /dev/shm/lumbrella-bench-runtime-XXXXXX)"
    chmod 700 "$runtime"
    export XDG_RUNTIME_DIR="$runtime"
  fi
  staging="XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-none}"
fi

# Chapters of common characters with full-width punctuation, one paragraph a line, CR LF
# line ends as Windows editors write them; a fixed random start per set. UTF-8, and the
# same in GBK, and in traditional characters in Big5.
python3 - "$work" <<'PY'
import os, random, sys
common = ("的一是不了人我在有他这中大来上个国到说们为子和你地出道也时年得就那要下以生会自着去"
          "之过家学对可她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又"
          "如前所本见经头面公同三已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明"
          "雨伞书店门窗灯夜风山水云路桥城河花草树鸟春夏秋冬晨昏旧新远近")
traditional = ("的一是不了人我在有他這中大來上個國到說們為子和你地出道也時年得就那要下以生會自著去"
               "之過家學對可她裡後小麼心多天而能好都然沒日於起還發成事只作當想看文無開手十用主行方又"
               "如前所本見經頭面公同三已老從動兩長知民樣現分將外但身些與高意進把法此實回二理美點月明"
               "雨傘書店門窗燈夜風山水雲路橋城河花草樹鳥春夏秋冬晨昏舊新遠近")
def chapters(folder, count, size, seed, encoding="utf-8", chars=common):
    rnd = random.Random(seed)
    os.makedirs(os.path.join(sys.argv[1], folder))
    for i in range(count):
        lines, got = [], 0
        while got < size:
            line = "".join(rnd.choice(chars) for _ in range(rnd.randint(20, 90)))
            line = line[:len(line) // 2] + "，" + line[len(line) // 2:] + "。\r\n"
            lines.append(line)
            got += len(line.encode(encoding))
        with open(os.path.join(sys.argv[1], folder, f"第{i + 1:04d}章.txt"), "wb") as f:
            f.write("".join(lines).encode(encoding))
chapters("c200", 200, 13 * 1024 * 1024 // 200, 20240607)
chapters("c200gbk", 200, 13 * 1024 * 1024 // 200, 20240607, "gb18030")
chapters("c200big5", 200, 13 * 1024 * 1024 // 200, 20240607, "cp950", traditional)
chapters("c1000", 1000, 4096, 1)
chapters("big", 1000, 97 * 1000 * 1000 // 1000, 2)
chapters("one", 1, 100 * 1024 * 1024, 3)
chapters("onebig5", 1, 100 * 1024 * 1024, 3, "cp950", traditional)
PY

cd "$work"
convert() {  # convert BOOK FOLDER: a fresh book (an existing one would be updated)
  echo "rm -f $1; exec '$cli' -q -t 基准 -a bench -o $1 $2/*.txt"
}
unpack() {  # the book unpacked: exactly the files the converter packs
  bash -c "$(convert "$1.epub" "$1")"
  mkdir "$1-unpacked" && (cd "$1-unpacked" && unzip -q "../$1.epub")
}
zip_tree() {
  echo "rm -f $1.zip; cd $1-unpacked && exec zip -q -6 -r ../$1.zip ."
}

echo "staging: $staging; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
results=""
row() {  # row NAME MEDIAN-KEY TARGET: bench_pair's output on stdin, shown and judged
  local out
  out="$(cat)"
  echo "$out"
  local value
  value="$(bench_median "$2" <<<"$out")"
  results+="$(printf '%-44s %8s   (target %s)' "$1" "$value" "$3")"$'\n'
}

unpack c200
row "1. cpu, 200 chapters / zip -6" "A/B cpu" "<= 1.1" < <(
  bench_pair "1. 200 chapters, 13 MiB: A lumbrella-cli, B zip -6 of the book unpacked" \
    "$runs" "" "$(convert c200.epub c200)" "" "$(zip_tree c200)")

for set in b:gbk:GBK c:big5:Big5; do
  IFS=: read -r letter folder name <<<"$set"
  unpack "c200$folder"
  row "1$letter. cpu, 200 chapters in $name / zip -6" "A/B cpu" "none" < <(
    bench_pair "1$letter. 200 chapters, 13 MiB in $name: A lumbrella-cli, B zip -6 of the book unpacked" \
      "$runs" "" "$(convert "c200$folder.epub" "c200$folder")" "" "$(zip_tree "c200$folder")")
done

unpack c1000
row "2. cpu, 1,000 chapters of 4 KB / zip -6" "A/B cpu" "<= 3" < <(
  bench_pair "2. 1,000 chapters of 4 KB: A lumbrella-cli, B zip -6 of the book unpacked" \
    "$runs" "" "$(convert c1000.epub c1000)" "" "$(zip_tree c1000)")

# Row 3: B is there to interleave something; its figures are not the point.
mib=$(stat -c %s one/*.txt | awk '{printf "%.1f", $1 / 1048576}')
row "3. peak MiB, one chapter of $mib MiB" "A peak" "<= 15 + $mib" < <(
  bench_pair "3. one chapter of $mib MiB: A lumbrella-cli, B the 200 chapters" \
    "$runs_big" "" "$(convert one.epub one)" "" "$(convert c200.epub c200)")

mib=$(stat -c %s onebig5/*.txt | awk '{printf "%.1f", $1 / 1048576}')
row "3b. peak MiB, one Big5 chapter of $mib MiB" "A peak" "<= 15 + $mib" < <(
  bench_pair "3b. one Big5 chapter of $mib MiB: A lumbrella-cli, B the 200 chapters" \
    "$runs_big" "" "$(convert onebig5.epub onebig5)" "" "$(convert c200.epub c200)")

# Row 4: the old book; then one chapter changed, converted onto a copy of the old book (an
# update) against a new book of the same chapters.
bash -c "$(convert big0.epub big)"
python3 - big/第0500章.txt <<'PY'
import sys
path = sys.argv[1]
text = open(path, "rb").read().decode("utf-8")
open(path, "wb").write(text.replace("的", "地", 1).encode("utf-8"))
PY
row "4. cpu, update after one change / new book" "A/B cpu" "<= 0.3" < <(
  bench_pair "4. 1,000 chapters, 97 MB, one changed: A update of the old book, B a new book" \
    "$runs_big" "cp big0.epub update.epub" \
    "exec '$cli' -q -t 基准 -a bench -o update.epub big/*.txt" "" "$(convert new.epub big)")

# Row 5: the same for a book of 300 distinct chapters, 30 MB (row 4's first 300, which its
# change does not touch), one of them a paragraph longer: target <= 0.2 x staged in memory,
# 0.3 x on disk.
mkdir c300
find big -name '*.txt' | sort | head -300 | xargs cp -t c300
bash -c "$(convert c300-old.epub c300)"
printf '尾声。\r\n' >>c300/第0150章.txt
row "5. cpu, update of 300 chapters / new book" "A/B cpu" "<= 0.2 (memory), 0.3 (disk)" < <(
  bench_pair "5. 300 chapters, 30 MB, one changed: A update of the old book, B a new book" "$runs" \
    "cp c300-old.epub update.epub" "exec '$cli' -q -t 基准 -a bench -o update.epub c300/*.txt" \
    "" "$(convert new.epub c300)")

if [ -n "${PANDOC:-}" ]; then
  row "pandoc / lumbrella-cli, cpu" "A/B cpu" "none" < <(
    bench_pair "pandoc: A pandoc -t epub2, B lumbrella-cli, the 200 chapters" "$runs" "" \
      "exec pandoc -f commonmark -t epub2 --metadata title=基准 -o pandoc.epub c200/*.txt" \
      "" "$(convert c200.epub c200)")
fi

echo
echo "medians ($staging):"
printf '%s' "$results"
