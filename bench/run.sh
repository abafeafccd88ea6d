#!/usr/bin/env bash
# Measures jassrewrite against the I/O floor (tee plus cp) and an awk peer on generated scripts of
# 16 MiB and 128 MiB, with standard output to /dev/null and to a pipe, and checks that a script
# holding one 256 MiB line is rewritten correctly. Prints medians, ratios to the floor and peak
# resident memory.
#
#   bench/run.sh [RUNS]        (RUNS timed runs per command after one warm-up, default 7)
#
# The generated scripts and the copies of them, about 860 MB in build/bench/work, are removed at the
# end, unless BENCH_KEEP_WORK=1 is set.
#
# Needs: cmake, g++, libbenchmark-dev, time (GNU time), mawk or gawk; hyperfine if installed.
set -euo pipefail

runs=${1:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
tool="$root/build/bench/jassrewrite"
generate="$root/build/bench/bench/generate_script"
work="$root/build/bench/work"
awk_program="$root/bench/rewrite.awk"
[ "${BENCH_KEEP_WORK:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
awk_bin=$(command -v mawk || command -v gawk || true)
[ -n "$awk_bin" ] || { echo "bench: needs mawk or gawk" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: needs GNU time (Debian package: time)" >&2; exit 1; }

# Each run starts from the original script with no dirty pages left by the one before, whose
# writeback would otherwise land on a random later run.
restore='cp original.j logs/outputwar3map.j && sync'

# median_seconds COMMAND: the median wall time of RUNS runs after one warm-up, the script restored
# before each run.
median_seconds() {
  if command -v hyperfine >/dev/null; then
    hyperfine --style none --warmup 1 --runs "$runs" --prepare "$restore" \
      --export-csv timing.csv "$1" >/dev/null 2>&1
    awk -F, 'NR == 2 { printf "%.4f\n", $4 }' timing.csv
  else
    local times=()
    for ((i = 0; i <= runs; i++)); do
      eval "$restore"
      local start end
      start=$(date +%s%N)
      sh -c "$1"
      end=$(date +%s%N)
      ((i == 0)) || times+=("$(((end - start) / 1000))")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.4f\n", t[int((NR + 1) / 2)] / 1e6 }'
  fi
}

peak_mib() {
  eval "$restore"
  /usr/bin/time -f '%M' -o rss.txt sh -c "$1"
  awk '{ printf "%.1f\n", $1 / 1024 }' rss.txt
}

# Runs the reference and the awk peer once and fails unless the peer's output matches byte for byte.
verify_peer() {
  eval "$restore"
  "$tool" a b c >expected.out
  cp logs/outputwar3map.j expected.j
  eval "$restore"
  "$awk_bin" -f "$awk_program" logs/outputwar3map.j >peer.out
  cp tempwar3map.j logs/outputwar3map.j
  cmp -s logs/outputwar3map.j expected.j || { echo "bench: awk peer wrote a different script" >&2; exit 1; }
  tail -n +7 expected.out | cmp -s - peer.out || { echo "bench: awk peer printed different lines" >&2; exit 1; }
}

printf '%-8s %-34s %10s %8s %10s\n' script command 'median s' 'x floor' 'peak MiB'
declare -A tool_pipe
for size in 16 128; do
  dir="$work/$size"
  mkdir -p "$dir/logs"
  cd "$dir"
  "$generate" $((size << 20)) >original.j
  verify_peer
  for sink in '>/dev/null' '| cat >/dev/null'; do
    declare -A commands=(
      [floor]="tee tempwar3map.j <logs/outputwar3map.j $sink && cp tempwar3map.j logs/outputwar3map.j"
      [jassrewrite]="'$tool' a b c $sink"
      [awk]="'$awk_bin' -f '$awk_program' logs/outputwar3map.j $sink && cp tempwar3map.j logs/outputwar3map.j"
    )
    floor=""
    for name in floor jassrewrite awk; do
      seconds=$(median_seconds "${commands[$name]}")
      [ -n "$floor" ] || floor=$seconds
      printf '%-8s %-34s %10s %8.2f %10s\n' "$size MiB" "$name $sink" "$seconds" \
        "$(awk -v a="$seconds" -v b="$floor" 'BEGIN { print a / b }')" "$(peak_mib "${commands[$name]}")"
      [ "$name $sink" != "jassrewrite | cat >/dev/null" ] || tool_pipe[$size]=$seconds
    done
  done
  cd "$root"
done
printf '\n128 MiB / 16 MiB time, jassrewrite to a pipe: %.2f (linear would be 8)\n' \
  "$(awk -v a="${tool_pipe[128]}" -v b="${tool_pipe[16]}" 'BEGIN { print a / b }')"

# One line of 256 MiB inside a user-code block: memory grows with the longest line, and the line
# must come back whole, rewritten.
dir="$work/long-line"
mkdir -p "$dir/logs"
cd "$dir"
line_bytes=$((256 << 20))
{ printf '//!beginusercode\r\n//'; head -c "$line_bytes" /dev/zero | tr '\0' x; printf '\r\n'; } >original.j
/usr/bin/time -f '%M' -o rss.txt sh -c "$restore && '$tool' a b c >/dev/null"
expected_hash=$({ printf '//!beginusercode\r\n--'; head -c "$line_bytes" /dev/zero | tr '\0' x; printf '\r\n'; } | md5sum)
if [ "$(md5sum <logs/outputwar3map.j)" = "$expected_hash" ]; then
  printf 'one 256 MiB line: rewritten correctly, peak %s MiB\n' "$(awk '{ printf "%.1f", $1 / 1024 }' rss.txt)"
else
  echo "bench: the 256 MiB line came back wrong" >&2
  exit 1
fi
rm -f original.j logs/outputwar3map.j tempwar3map.j
