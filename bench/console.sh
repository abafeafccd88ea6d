#!/usr/bin/env bash
# Measures what a console costs: on Linux, standard output on a pseudo-terminal against the same
# run piped through cat to that terminal; under Wine, the Windows program with its output sent to
# NUL against a file. Prints the medians and the two ratios beside their goals.
#
#   bench/console.sh [RUNS]        (RUNS timed runs per command after one warm-up, default 7)
#
# Needs: hyperfine, script (util-linux), and for the Windows half what the windows-release preset
# needs (MinGW-w64, Wine). Works in build/bench/console, removed at the end.
set -euo pipefail

runs=${1:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v hyperfine >/dev/null || { echo "bench: needs hyperfine" >&2; exit 1; }
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j "$(nproc)" --target jassrewrite >/dev/null
work="$root/build/bench/console"
rm -rf "$work"
mkdir -p "$work/logs"
cd "$work"
cp "$root/build/windows-release/jassrewrite.exe" .
# About 200,000 lines for the terminal; more for Wine, whose start takes half a second.
"$root/build/bench/bench/generate_script" $((9 << 20)) >terminal.j
"$root/build/bench/bench/generate_script" $((48 << 20)) >wine.j

median_seconds() {  # SCRIPT COMMAND
  hyperfine --style none --warmup 1 --runs "$runs" --prepare "cp $1 logs/outputwar3map.j && sync" \
    --export-csv timing.csv "$2" >/dev/null 2>&1 || { echo "bench: failed: $2" >&2; exit 1; }
  awk -F, 'NR == 2 { printf "%.3f\n", $4 }' timing.csv
}

report() {  # NAME SECONDS BASE_SECONDS GOAL
  printf '%-44s %8s s %6.2f x  (goal: at most %s)\n' "$1" "$2" \
    "$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')" "$4"
}

tool="$root/build/bench/jassrewrite"
piped=$(median_seconds terminal.j "script -qec \"'$tool' a b c | cat\" /dev/null >/dev/null")
terminal=$(median_seconds terminal.j "script -qec \"'$tool' a b c\" /dev/null >/dev/null")
printf '%-44s %8s s\n' "Linux: | cat to a pseudo-terminal" "$piped"
report "Linux: straight to the pseudo-terminal" "$terminal" "$piped" 1.3

# One Wine server for all runs, so that its start is not timed, in the Wine prefix that the Windows
# presets use: a prefix takes some 700 MB, and the tree needs only one.
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -k >/dev/null 2>&1 || true  # one left by an interrupted run
"$wineserver" -w
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot --init </dev/null >/dev/null 2>&1
to_file=$(median_seconds wine.j "'$wine' cmd /c 'jassrewrite.exe a b c >out.txt'")
to_null=$(median_seconds wine.j "'$wine' cmd /c 'jassrewrite.exe a b c >NUL'")
printf '%-44s %8s s\n' "Wine: > file" "$to_file"
report "Wine: > NUL" "$to_null" "$to_file" 1.5

cd "$root"
rm -rf "$work"
