#!/usr/bin/env bash
# Packer benchmark (not a test: run it by hand on a quiet machine; figures in
# bench/README.md). Generates a tree of 200 text files holding 13 MB of Chinese-like text
# and compares, interleaved (A B A B ...), CPU time (user + sys) and wall time:
#   - this program's packer (bench/pack_tree, deflate level 6) against zip -q -6 -r of the
#     same tree                                         targets: <= 1.1 x, peak under 16 MB
#   - an update of that archive after one file changed (the other files written again
#     with the same bytes, as a conversion does) against packing it anew   target <= 0.3 x
#
#   bench/pack_bench.sh            (builds pack_tree in build/; BUILD_DIR=... for another)
#   RUNS=9 bench/pack_bench.sh     (pairs per comparison, 7 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/lib.sh
build="${BUILD_DIR:-build}"
runs="${RUNS:-7}"

bench_tools zip

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

cd "$work"
echo "tree: $files files, $bytes bytes; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
pack="$(bench_pair "pack: A pack_tree (level 6), B zip -q -6 -r" "$runs" \
  "" "cd tree && exec '$packer' . ../ours.zip 6" \
  "" "rm -f zip.zip; cd tree && exec zip -q -6 -r ../zip.zip .")"
echo "$pack"
echo "  archives: ours $(stat -c %s ours.zip) bytes, zip $(stat -c %s zip.zip) bytes"

# The update: every file written again (new dates, the same bytes) and one changed, as a
# conversion stages its tree; the old archive copied back before each run.
cp ours.zip old.zip
touch_all="find tree -type f -exec touch {} +; printf x >>tree/part05/chapter101.txt"
update="$(bench_pair "update: A pack_tree -u onto the old archive, B pack_tree anew" "$runs" \
  "$touch_all; cp old.zip update.zip" "cd tree && exec '$packer' -u . ../update.zip 6" \
  "" "cd tree && exec '$packer' . ../new.zip 6")"
echo "$update"
cmp -s <(unzip -p update.zip) <(unzip -p new.zip) || { echo "the update differs" >&2; exit 1; }

echo
printf '%-40s %8s   (target %s)\n' "cpu pack_tree / zip -6" \
  "$(bench_median "A/B cpu" <<<"$pack")" "<= 1.1" \
  "peak MiB pack_tree" "$(bench_median "A peak" <<<"$pack")" "< 15.3" \
  "cpu update after one change / anew" "$(bench_median "A/B cpu" <<<"$update")" "<= 0.3"
