#!/bin/sh
# Runs the Windows program under Wine on a terminal, where Wine gives it a console and turns the
# terminal's Ctrl+C into the console's Ctrl+C event, presses Ctrl+C while the run converts a large
# script, and checks that the run tells the interrupt in one line, ends with the status of a program
# ended by Ctrl+C, and leaves the script exactly as it was or exactly rewritten, as that line says.
# Then the same with both streams in one pipe, as a build log takes them: no script line may follow
# the interrupt's, which Windows tells from a thread of its own while the run writes on.
# Usage: console_interrupt_test.sh WINE PROGRAM.EXE
set -eu
wine=$1
program=$2
folder="$PWD/scratch/CtrlCOnAConsole"
rm -rf "$folder"
mkdir -p "$folder/logs"
cd "$folder"
# Some 8 MB, which takes the run about a second on a console, and its rewrite.
awk 'BEGIN { for (i = 0; i < 120000; ++i)
  printf "//!beginusercode\n// comment %d, shown on the console\n//!endusercode\n", i }' \
  >original.j
awk 'BEGIN { for (i = 0; i < 120000; ++i)
  printf "//!beginusercode\r\n-- comment %d, shown on the console\r\n//!endusercode\r\n", i }' \
  >rewritten.j
cp original.j logs/outputwar3map.j

# `script` hands what comes on its standard input to the terminal, as keys pressed there. Standard
# error goes through a FIFO to a file, not to the console, since Wine's console leaves the last
# lines of a program that ends undrawn now and then (and refuses standard error as a file here).
mkfifo keys errors
# Runs the program on the terminal with the redirections $1, presses Ctrl+C once the run is
# converting (it has written the first block of tempwar3map.j), and sets status to how it ended.
interrupt_run() {
  LC_ALL=C.UTF-8 script -qec "\"$wine\" \"$program\" a b c $1" /dev/null <keys >console.raw 2>&1 &
  runner=$!
  exec 3>keys
  while [ ! -s tempwar3map.j ] && kill -0 "$runner" 2>/dev/null; do
    sleep 0.01
  done
  printf '\003' >&3
  status=0
  wait "$runner" || status=$?
  exec 3>&-
}
cat errors >errors.txt &
reader=$!
interrupt_run "2>errors"
wait "$reader"

fail() {
  echo "$1"
  echo "status $status; standard error:"
  cat -A errors.txt
  echo "the console's last lines:"
  sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g' console.raw | tail -3 | cat -A
  exit 1
}
# Wine's own lines are left out: very rarely (once in some hundreds of runs) a Wine process that
# shares standard error reports a page fault of its own as the console goes away, while the run
# itself has ended as below.
case "$(grep -av '^wine: ' errors.txt || true)" in
  "$(printf 'jassrewrite: interrupted; the script is unchanged\r')") expected=original.j ;;
  "$(printf 'jassrewrite: interrupted after the script was rewritten\r')") expected=rewritten.j ;;
  "") fail "the run told no interrupt: Ctrl+C came too late, never came, or went unhandled" ;;
  *) fail "the run did not tell the interrupt in one line" ;;
esac
# STATUS_CONTROL_C_EXIT (0xC000013A), of which Wine passes on the low byte.
[ "$status" -eq 58 ] || fail "the run ended with status $status, not that of Ctrl+C"
cmp logs/outputwar3map.j "$expected" || fail "the script is not what standard error says"

# Both streams into one pipe, read slowly, so that the run is still writing when Ctrl+C comes.
rm -f tempwar3map.j errors.txt
cp original.j logs/outputwar3map.j
mkfifo both
while IFS= read -r line; do printf '%s\n' "$line"; done <both >both.txt &
reader=$!
interrupt_run ">both 2>&1"
wait "$reader"
grep -av '^wine: ' both.txt | tail -n 3 >errors.txt || true
case "$(tail -n 1 errors.txt)" in
  "$(printf 'jassrewrite: interrupted; the script is unchanged\r')") expected=original.j ;;
  "$(printf 'jassrewrite: interrupted after the script was rewritten\r')") expected=rewritten.j ;;
  *) fail "with both streams in one pipe, the interrupt's line is not the last" ;;
esac
[ "$status" -eq 58 ] || fail "the run ended with status $status, not that of Ctrl+C"
cmp logs/outputwar3map.j "$expected" || fail "the script is not what the last line says"
