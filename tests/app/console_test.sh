#!/bin/sh
# Runs the Windows program under Wine on a terminal, where Wine gives it a console, and checks that
# the arguments and the script's UTF-8 lines show as typed (through the console's wide-character
# interface, whatever its code page), that a line that is not UTF-8 shows as its bytes in the
# console's code page, and that the rewrite is as on any other output.
# Usage: console_test.sh WINE PROGRAM.EXE
set -eu
wine=$1
program=$2
folder="$PWD/scratch/ConsoleShowsArgumentsAsTyped"
rm -rf "$folder"
mkdir -p "$folder/logs"
cd "$folder"
# A line in UTF-8, and one in a Windows code page with bytes of no encoding at all.
utf8_line='BJDebugMsg("café привет")'
other_line=$(printf '// caf\351 \377\200')
printf '//!beginusercode\n// shown\n//!endusercode\n%s\n%s\n' "$utf8_line" "$other_line" \
  >logs/outputwar3map.j

# Wine writes the terminal's text in the locale's character set.
LC_ALL=C.UTF-8 script -qec "\"$wine\" \"$program\" café 中文 x" /dev/null >console.raw
# The console's code page, in which it shows bytes, as cmd.exe tells it on the same terminal.
LC_ALL=C.UTF-8 script -qec "\"$wine\" cmd /c chcp" /dev/null >chcp.raw
code_page=$(sed -n 's/.*code page: *\([0-9][0-9]*\).*/\1/p' chcp.raw)
if [ -z "$code_page" ]; then
  echo "cmd.exe did not tell the console's code page:"
  cat -A chcp.raw
  exit 1
fi
# Wine's console draws with cursor controls, and ends lines in CR CR LF on a terminal. The third
# line is the program's path as Wine names it.
sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g; 3d' console.raw >console.txt
{
  printf 'Hello Jass!\n4\ncafé\n中文\nx\n//!beginusercode\n-- shown\n//!endusercode\n%s\n' \
    "$utf8_line"
  printf '%s\n' "$other_line" | iconv -f "CP$code_page" -t UTF-8
} >expected.txt
if ! cmp -s console.txt expected.txt; then
  echo "the console (code page $code_page) showed:"
  cat -A console.txt
  echo "instead of:"
  cat -A expected.txt
  exit 1
fi
printf '//!beginusercode\r\n-- shown\r\n//!endusercode\r\n%s\r\n%s\r\n' "$utf8_line" \
  "$other_line" >expected.j
cmp logs/outputwar3map.j expected.j
cmp tempwar3map.j expected.j
