#!/usr/bin/env bash
# Builds the coverage-guided fuzz targets (libFuzzer, clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each one for FUZZ_SECONDS (60 by
# default), starting from seeds made by the real tools. The corpora grow in
# build-fuzz/corpus/<target>; a crash leaves its input in build-fuzz/ and fails the script.
#   scripts/fuzz.sh [target...]      targets: fuzz_reader fuzz_update fuzz_page
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_reader fuzz_update fuzz_page)

# A folder configured from another source tree (tests/fuzz, as it once was) is configured anew.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$PWD" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMBRELLA_FUZZ=ON \
  -DLUMBRELLA_BUILD_APP=OFF -DLUMBRELLA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"

# Seeds: archives of zip, zip -fz, zip -P, 7z and Python's zipfile (data descriptors, Zip64,
# comments), and the example chapters in their three encodings.
seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/zip" "$seeds/text"
python3 tests/zip/make_fixtures.py "$seeds/fixtures" >/dev/null
cp "$seeds"/fixtures/*.zip "$seeds/zip/"
(cd "$seeds/fixtures/src" && zip -q -P secret -r ../../zip/encrypted.zip . )
cp examples/*.txt "$seeds/text/"
# A novel's headings in the forms the split knows: volumes, a contents block, long and weak
# heading lines. The first byte is the fuzz target's own (label length and block size).
printf '\x41第一卷 上\r\n第一章 甲\r\n第二章 乙\r\n\r\n正文 第一卷 上\n第一章 甲\n甲。\n第二章 乙 本章字数：3245 更新时间：2010-1-1 12:00:00 求收藏\n第三章丙诗曰：丁\n第四章 戊\r卷二 下 第5章 己\rCHAPTER IV.\n' \
  >"$seeds/text/headings.txt"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  seed="$seeds/zip"
  [ "$target" = fuzz_page ] && seed="$seeds/text"
  echo "== $target: ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/bin/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=200000 -print_final_stats=1 -artifact_prefix="$build/$target-" \
    "$corpus" "$seed" 2>"$build/$target.log" || { status=1; tail -40 "$build/$target.log"; }
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|cov:" "$build/$target.log" | tail -3
done
exit $status
