#!/usr/bin/env bash
# The bash completion, called as bash calls it: after -p the entries of COMTERM_DEVICE_DIR (dangling
# links included), or without it the /dev serial devices both as paths and as their COM names; after
# -b the menu's twelve rates. usage: check_completion.sh COMPLETION_FILE
set -u
source "$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ln -s /dev/null "$dir/COM3" && ln -s "$dir/gone" "$dir/COM12" && touch "$dir/ttyUSB0"
failures=0
fail() { echo "FAIL: $*" && failures=1; }
complete_as() {  # name, expected replies (sorted), then the words; the last one is being completed
    COMP_WORDS=("${@:3}") COMP_CWORD=$(($# - 3))
    _comterm
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    [ "$got" = "$2" ] || fail "$1: got '$got', expected '$2'"
}
export COMTERM_DEVICE_DIR=$dir
complete_as "ports in the folder" "COM12 COM3 ttyUSB0" comterm -p ""
complete_as "ports by prefix" "COM12 COM3" comterm -b 9600 -p CO
complete_as "all rates" "115200 1200 19200 230400 2400 250000 300 38400 4800 57600 74880 9600" \
    comterm -p COM3 -b ""
complete_as "rates by prefix" "230400 2400 250000" comterm -b 2
complete_as "options" "-b -p" comterm -

unset COMTERM_DEVICE_DIR
COMP_WORDS=(comterm -p "") COMP_CWORD=2
_comterm
offered=" ${COMPREPLY[*]} "
for row in ttyS0:COM1 ttyS31:COM32 ttyUSB0:COM33 ttyACM0:COM65 ttyACM31:COM96 ttyAMA0:COM97; do
    path=/dev/${row%:*}
    [ -e "$path" ] && [[ $offered != *" $path "* || $offered != *" ${row#*:} "* ]] &&
        fail "$path exists: expected it and ${row#*:} among:$offered"
done
for word in $offered; do
    [[ $word == COM* || -e $word ]] || fail "$word offered but missing"
done
exit $failures
