#!/bin/sh
# Runs the Windows program under Wine with its standard streams redirected by the Unix shell, as
# map makers on Linux and macOS run their Windows tools. Wine hands the program such files as
# handles that it knows by their file ID alone, without a volume or a name: the run must still
# tell whether each is a file, write to it, and recognise its own script in it.
# Usage: unix_redirection_test.sh WINE PROGRAM.EXE
set -eu
wine=$1
program=$2
folder="$PWD/scratch/OutputRedirectedByTheUnixShell"
rm -rf "$folder"
mkdir -p "$folder"
cd "$folder"
exe_name=$("$wine" winepath -w "$program" | tr -d '\r')
original='//!beginusercode\n// x\n//!endusercode\nlocal x = 1\n'
rewritten='//!beginusercode\r\n-- x\r\n//!endusercode\r\nlocal x = 1\r\n'
printf "$rewritten" >rewritten.j
printf 'Hello Jass!\r\n4\r\n%s\r\na\r\nb\r\nc\r\n' "$exe_name" >arguments.txt
cat arguments.txt rewritten.j >banner.txt
: >nothing.txt
told() {
  printf 'jassrewrite: %s: is also %s; send the %s elsewhere\r\n' 'logs\outputwar3map.j' "$1" "$2"
}
told "standard output" output >refused_output.txt
# Told on standard output, before the banner: nothing goes out before both streams are checked.
told "standard error" messages >refused_errors.txt

failures=0
# Each case: its name, the redirections, the status, the script after the run, and what
# out.txt and err.txt hold (a file of this folder, or "-" where the stream went elsewhere).
# A seventh argument, a folder on another file system, puts logs/ there by a link: Wine tells the
# volume of neither the stream nor the script there.
check_case() {
  name=$1 redirections=$2 status=$3 script=$4 out=$5 err=$6 logs_in=${7:-}
  rm -rf map
  mkdir -p map/logs
  if [ -n "$logs_in" ]; then
    rm -rf map/logs "$logs_in"
    mkdir -p "$logs_in"
    ln -s "$logs_in" map/logs
  fi
  printf "$original" >map/logs/outputwar3map.j
  cp map/logs/outputwar3map.j original.j
  got=0
  (cd map && eval "\"\$wine\" \"\$program\" a b c $redirections") || got=$?
  if [ "$got" != "$status" ]; then
    echo "$name: exit status $got instead of $status"
    failures=$((failures + 1))
  fi
  for pair in "logs/outputwar3map.j $script" "out.txt $out" "err.txt $err"; do
    set -- $pair
    if [ "$2" != - ] && ! cmp -s "map/$1" "$2"; then
      echo "$name: $1 holds:"
      cat -A "map/$1" 2>&1
      echo "instead of:"
      cat -A "$2"
      failures=$((failures + 1))
    fi
  done
}

check_case "output to a file" '>out.txt 2>err.txt' 0 rewritten.j banner.txt nothing.txt
check_case "output to /dev/null" '>/dev/null 2>err.txt' 0 rewritten.j - nothing.txt
check_case "output appended to the script" '>>logs/outputwar3map.j 2>err.txt' 1 original.j - \
  refused_output.txt
check_case "errors appended to the script" '>out.txt 2>>logs/outputwar3map.j' 1 original.j \
  refused_errors.txt -
other_file_system=/dev/shm/jassrewrite-unix-redirection-$$
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d .)" ]; then
  check_case "output to a file, script on another file system" '>out.txt 2>err.txt' 0 \
    rewritten.j banner.txt nothing.txt "$other_file_system"
  check_case "output appended to a script on another file system" '>>logs/outputwar3map.j 2>err.txt' \
    1 original.j - refused_output.txt "$other_file_system"
  check_case "errors appended to a script on another file system" '>out.txt 2>>logs/outputwar3map.j' \
    1 original.j refused_errors.txt - "$other_file_system"
  rm -rf "$other_file_system"
else
  echo "no other file system at /dev/shm: the cases of a script on one are not run"
fi
[ "$failures" = 0 ] || exit 1
cd / && rm -rf "$folder"
