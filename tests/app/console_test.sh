#!/bin/sh
# Runs the Windows program under Wine on a terminal, where Wine gives it a console, and checks that
# the arguments show as typed (through the console's wide-character interface, whatever the code
# page) and that the script lines and the rewrite are as on any other output.
# Usage: console_test.sh WINE PROGRAM.EXE
set -eu
wine=$1
program=$2
folder="$PWD/scratch/ConsoleShowsArgumentsAsTyped"
rm -rf "$folder"
mkdir -p "$folder/logs"
cd "$folder"
printf '//!beginusercode\n// shown\n//!endusercode\n' >logs/outputwar3map.j

# Wine writes the terminal's text in the locale's character set.
LC_ALL=C.UTF-8 script -qec "\"$wine\" \"$program\" café 中文 x" /dev/null >console.raw
# Wine's console draws with cursor controls, and ends lines in CR CR LF on a terminal. The third
# line is the program's path as Wine names it.
sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g; 3d' console.raw >console.txt
printf 'Hello Jass!\n4\ncafé\n中文\nx\n//!beginusercode\n-- shown\n//!endusercode\n' >expected.txt
if ! cmp -s console.txt expected.txt; then
  echo "the console showed:"
  cat -A console.txt
  exit 1
fi
printf '//!beginusercode\r\n-- shown\r\n//!endusercode\r\n' >expected.j
cmp logs/outputwar3map.j expected.j
