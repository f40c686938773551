# Shared by the benchmark scripts (sourced, not run): interleaved timing of two commands
# with /usr/bin/time, CPU time (user + sys) as well as wall time, and medians of the
# ratio pair by pair, so that a machine whose speed drifts between runs still compares the
# two fairly.

# Installs the benchmarks' own tools (not needed by the tests) when they are missing.
bench_tools() {
  local missing=() tool
  [ -x /usr/bin/time ] || missing+=(time)
  for tool in "$@"; do command -v "$tool" >/dev/null || missing+=("$tool"); done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    $sudo apt-get install -y "${missing[@]}" >/dev/null
  fi
}

# One timed run of a shell command line: prints "cpu wall peak_kib". A prepare line, when
# given, runs first and is not timed.
bench_once() {
  local prepare="$1" command="$2" out
  [ -n "$prepare" ] && bash -c "$prepare"
  out="$(mktemp)"
  /usr/bin/time -f '%U %S %e %M' -o "$out" bash -c "$command" >/dev/null 2>&1 || {
    echo "failed: $command" >&2
    rm -f "$out"
    exit 1
  }
  awk '{printf "%.3f %.3f %d\n", $1 + $2, $3, $4}' "$out"
  rm -f "$out"
}

# bench_pair LABEL RUNS PREPARE_A COMMAND_A PREPARE_B COMMAND_B: runs A B A B ... (one
# untimed warm-up each first) and prints the medians and ranges of A, B and A / B.
bench_pair() {
  local label="$1" runs="$2" prep_a="$3" cmd_a="$4" prep_b="$5" cmd_b="$6" i a b
  local log
  log="$(mktemp)"
  a="$(bench_once "$prep_a" "$cmd_a")"
  b="$(bench_once "$prep_b" "$cmd_b")"
  for ((i = 0; i < runs; i++)); do
    a="$(bench_once "$prep_a" "$cmd_a")"
    b="$(bench_once "$prep_b" "$cmd_b")"
    echo "$a $b" >>"$log"
  done
  python3 - "$label" "$log" <<'PY'
import statistics, sys
label, rows = sys.argv[1], [list(map(float, l.split())) for l in open(sys.argv[2])]
def show(name, values, unit, digits=2):
    m = statistics.median(values)
    print(f"  {name:<16} {m:9.{digits}f} {unit:<4} (min {min(values):.{digits}f}, max {max(values):.{digits}f})")
print(f"{label}: {len(rows)} pairs, A B A B ...")
show("A cpu", [r[0] for r in rows], "s")
show("A wall", [r[1] for r in rows], "s")
show("A peak", [r[2] / 1024 for r in rows], "MiB", 1)
show("B cpu", [r[3] for r in rows], "s")
show("B wall", [r[4] for r in rows], "s")
show("A/B cpu", [r[0] / r[3] for r in rows], "x", 3)
show("A/B wall", [r[1] / r[4] for r in rows], "x", 3)
PY
  rm -f "$log"
}

# The ratio's median as a number, for the verdict lines: bench_pair's output on stdin.
bench_median() {
  awk -v key="$1" '$1 " " $2 == key {print $3}'
}
