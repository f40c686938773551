#!/usr/bin/env bash
# Packer benchmark: generates a tree of 200 text files holding 13 MB of Chinese-like text,
# packs it with this program's packer (bench/pack_tree, deflate level 6) and with
# `zip -q -6 -r`, and prints both times, their ratio and the peak memory of each against
# the targets (within 1.1 x of zip -6, peak memory under 16 MB). Not a test: run it by hand
# on an idle machine.
#
#   bench/pack_bench.sh            (builds pack_tree in build/; BUILD_DIR=... for another)
#   RUNS=7 bench/pack_bench.sh     (best of RUNS timings, 5 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build}"
runs="${RUNS:-5}"

# The benchmark's own tools, not needed by the tests.
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v zip >/dev/null || missing+=(zip)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y "${missing[@]}" >/dev/null
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target pack_tree >"${TMPDIR:-/tmp}/pack-bench-build.log" 2>&1 || {
  cat "${TMPDIR:-/tmp}/pack-bench-build.log" >&2
  exit 1
}
packer="$PWD/$build/bin/pack_tree"

work="$(mktemp -d "${TMPDIR:-/tmp}/pack-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# 200 files, 13,000,000 bytes of UTF-8 in all, in ten folders: words of one to four common
# characters drawn with Zipf-like frequencies, full-width punctuation, one paragraph a
# line. Fixed random start, so every run packs the same bytes; it deflates like prose, not noise.
python3 - "$work/tree" <<'PY'
import itertools, os, random, sys
random.setstate(random.Random(20240611).getstate())
root = sys.argv[1]
chars = [chr(c) for c in range(0x4E00, 0x4E00 + 3000)]
vocabulary = ["".join(random.choices(chars, k=random.choice((1, 2, 2, 2, 3, 4))))
              for _ in range(8000)]
cumulative = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(vocabulary))))
total, count = 13_000_000, 200
for i in range(count):
    folder = os.path.join(root, f"part{i // 20:02d}")
    os.makedirs(folder, exist_ok=True)
    size = total // count
    words = random.choices(vocabulary, cum_weights=cumulative, k=size // 5)
    lines, at = [], 0
    while at < len(words):
        n = random.randint(15, 60)
        sentence = "".join(words[at:at + n])
        cut = len(sentence) // 2
        lines.append(sentence[:cut] + "，" + sentence[cut:] + "。\n")
        at += n
    data = "".join(lines).encode("utf-8")
    while len(data) < size:
        data += data
    data = data[:size].decode("utf-8", "ignore").encode("utf-8")
    data += b"\n" * (size - len(data))
    with open(os.path.join(folder, f"chapter{i + 1:03d}.txt"), "wb") as f:
        f.write(data)
PY
files=$(find "$work/tree" -type f | wc -l)
bytes=$(find "$work/tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

# Best wall time (seconds) of RUNS and the highest peak resident set (KiB) seen.
measure() {
  local best="" rss=0 i wall kb
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null 2>&1 || {
      echo "failed: $*" >&2
      exit 1
    }
    read -r wall kb <"$work/time.txt"
    if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN {exit !(a < b)}'; then best=$wall; fi
    [ "$kb" -gt "$rss" ] && rss=$kb
  done
  echo "$best $rss"
}

cd "$work/tree"
# Each run writes a fresh archive (an existing one would be updated).
read -r t_ours m_ours < <(measure "$packer" . "$work/ours.zip" 6)
read -r t_zip m_zip < <(measure sh -c 'rm -f "$0"; exec zip -q -6 -r "$0" .' "$work/zip.zip")
cd "$work"

size_ours=$(stat -c %s ours.zip)
size_zip=$(stat -c %s zip.zip)
awk -v files="$files" -v bytes="$bytes" -v runs="$runs" \
  -v t1="$t_ours" -v m1="$m_ours" -v s1="$size_ours" \
  -v t2="$t_zip" -v m2="$m_zip" -v s2="$size_zip" 'BEGIN {
  printf "tree: %d files, %.1f MB of text; best of %d runs\n\n", files, bytes / 1e6, runs
  printf "%-24s %8s %14s %12s\n", "", "seconds", "peak memory", "archive"
  printf "%-24s %8.2f %11.1f MB %9.2f MB\n", "pack_tree (level 6)", t1, m1 * 1024 / 1e6, s1 / 1e6
  printf "%-24s %8.2f %11.1f MB %9.2f MB\n", "zip -q -6 -r", t2, m2 * 1024 / 1e6, s2 / 1e6
  ratio = t2 > 0 ? t1 / t2 : 0
  printf "\ntime ours / zip -6: %.2f x (target 1.1 x: %s)\n", ratio, ratio <= 1.1 ? "met" : "missed"
  printf "peak memory: %.1f MB (target under 16 MB: %s)\n", m1 * 1024 / 1e6,
    m1 * 1024 < 16e6 ? "met" : "missed"
}'
