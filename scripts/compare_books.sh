#!/usr/bin/env bash
# Compares the books two builds of lumbrella-cli make of the same files, for a change that must
# leave every book's bytes as they were. Each folder's .txt files make one book and each file
# one alone, with and without -s; so do texts made here with the traits pages are cut and split
# at (long sections, lines longer than a page, markup, every line end, UTF-16, GB18030, bytes
# that are no UTF-8 found late, characters across the blocks of a read). The books are unpacked
# and compared file by file (the identifier in content.opf and toc.ncx aside), and so are their
# entries' names, order, methods and attributes, and what the program printed. Exit status 1
# when a book differs.
#
#   scripts/compare_books.sh OLD_CLI [NEW_CLI] [FOLDER...]
#   (NEW_CLI: build/bin/lumbrella-cli; the folders: tests/data and examples, with those given)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { sed -n '2,12p' "$0"; exit 2; }
old="$(realpath "$1")"
new="$(realpath "${2:-build/bin/lumbrella-cli}")"
shift $(($# < 2 ? $# : 2))
folders=("$PWD/tests/data" "$PWD/examples" "$@")
work="$(mktemp -d "${TMPDIR:-/tmp}/compare-books-XXXXXX")"
trap 'rm -rf "$work"' EXIT

python3 - "$work/made" <<'PY'
import os, sys
out = sys.argv[1]
os.makedirs(out)
def prose(n, end="\r\n"):
    lines = []
    for i in range(n):
        line = "\u3000\u3000" + str(i) + " "
        for k in range(8):
            line += "雨 & <伞>，" if i % 5 == k else "巷子尽头有一家旧书店。"
        lines.append(line)
    return end.join(lines)
p = prose(1500)
short = "".join("第%d章\r\n" % i + prose(60, "\n") + "\n" for i in range(1, 11))
u = lambda s: s.encode("utf-8")
files = {
    "headings-first": u("第一章 开端\r\n甲\r\n\r\n第二章\r\n乙\r\n"),
    "text-before-long-cr": u("楔子之前\r第一章\r" + prose(2500, "\r") + "\r第二章\r丙"),
    "blank-prologue-lf": u("\n\u3000 \t\n第一章\n第二章\n\nx\n"),
    "no-heading-long": u(p),
    "line-longer-than-a-page": u("第一章\r\n" + p[:150000] + "x" * 300000 + "\r\n" + p[:200000]),
    "markup-controls": u("序章 <a&b>\r\n1 < 2 & 3\n\r第二章 \"q\"\r\r\n\x01&amp;\x7f\n\n \u3000第三章：完\r\n"),
    "headings-alone": u("第一章\r\n第二章"),
    "markup-fivefold": u("".join(" " * (i % 7) + "<&>" * 40 + "\n" for i in range(500))),
    "gb18030": (short + p).encode("gb18030"),
    "utf16le": b"\xff\xfe" + (short + p).encode("utf-16-le"),
    "utf16be-odd": b"\xfe\xff" + (short + p).encode("utf-16-be") + b"x",
    "utf8-mark-malformed": b"\xef\xbb\xbf" + u(short) + b"\xc3(",
    "no-utf8-found-late": u(short + p) + b"\xff",
    "empty": b"",
    "non-characters": u("\ufffe\uffff\ufffd，x\u0000y\x01\x7f\t"),
    "english-long-sections": u("".join("Chapter %d\n" % i + prose(900, "\n") + "\n" for i in range(1, 4))),
}
for at in (65534, 65535, 65536):
    files["cr-lf-at-%d" % at] = b"a" * at + b"\r\n" + u("第一章\r\n甲\r\n第二章\r\n乙")
    files["characters-at-%d" % at] = b"a" * at + u("雨😀\r\n第一章\r第二章")
for name, data in files.items():
    with open(os.path.join(out, name + ".txt"), "wb") as f:
        f.write(data)
PY
folders+=("$work/made")

books=0
differ=0
# One book made by both programs: name, flags, files.
compare() {
  local name="$1" flags="$2"
  shift 2
  for side in old new; do
    local cli="$old" dir="$work/$side"
    [ "$side" = new ] && cli="$new"
    mkdir -p "$dir/tmp" "$dir/$name"
    # shellcheck disable=SC2086
    { TMPDIR="$dir/tmp" "$cli" -q $flags -t T -a A -o "$dir/$name.epub" "$@" || echo "exit $?"; } \
      >"$dir/$name.out" 2>&1
    (cd "$dir/$name" && unzip -qo "../$name.epub" 2>/dev/null || true)
    for doc in "$dir/$name/OEBPS/content.opf" "$dir/$name/OEBPS/toc.ncx"; do
      [ -f "$doc" ] && sed -i -E 's/urn:uuid:[0-9a-f-]{36}/urn:uuid:-/g' "$doc"
    done
    { unzip -Z1 "$dir/$name.epub" 2>/dev/null
      unzip -Zv "$dir/$name.epub" 2>/dev/null | grep -E 'compression method:|uncompressed size:|extra field|file attributes|general purpose|version of encoding|minimum software'
    } >"$dir/$name.entries" || true
  done
  books=$((books + 1))
  if ! diff -rq "$work/old/$name" "$work/new/$name" >/dev/null ||
     ! cmp -s "$work/old/$name.out" "$work/new/$name.out" ||
     ! cmp -s "$work/old/$name.entries" "$work/new/$name.entries"; then
    local names
    names="$(for file in "$@"; do basename "$file"; done | paste -sd, | cut -c1-160)"
    echo "differs (${flags:-not split}): $names"
    differ=$((differ + 1))
  fi
}

n=0
for folder in "${folders[@]}"; do
  mapfile -t files < <(find "$folder" -maxdepth 1 -name '*.txt' | sort)
  [ ${#files[@]} -gt 0 ] || continue
  for flags in "" "-s"; do
    n=$((n + 1))
    compare "book$n" "$flags" "${files[@]}"
    for file in "${files[@]}"; do
      n=$((n + 1))
      compare "book$n" "$flags" "$file"
    done
  done
done
echo "$books books compared, $differ differ"
[ "$differ" -eq 0 ]
