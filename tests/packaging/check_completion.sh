#!/usr/bin/env bash
# check_completion.sh COMPLETION_FILE: after -p the entries of COMTERM_DEVICE_DIR (dangling links
# too), or without it /dev's serial devices (a folder of ours) as paths and COM names; after -b the
# menu's rates; after a dash the options.
export LC_ALL=C
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
source <(sed "s|/dev/|$dir/dev/|g" "$1")
mkdir "$dir/dev" "$dir/ports" && cd "$dir/dev" && touch ttyS0 ttyS31 ttyS32 ttyUSB0 ttyACM31 ttyAMA0
ln -s /dev/null "$dir/ports/COM3" && ln -s "$dir/gone" "$dir/ports/COM12" && touch "$dir/ports/tty0"
failures=0
complete_as() {  # expected replies (sorted), then the words; the last one is being completed
    COMP_WORDS=("${@:2}") COMP_CWORD=$(($# - 2))
    _comterm
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    [ "$got" = "$1" ] || { echo "FAIL: ${*:2}: got '$got', expected '$1'" && failures=1; }
}
complete_as "$(printf "$dir/dev/%s " ttyACM31 ttyAMA0 ttyS0 ttyS31 ttyS32 ttyUSB0)COM1 COM32 COM33 \
COM96 COM97" comterm -p ""
complete_as "--help --version -b -p" comterm -
complete_as "115200 1200 19200 230400 2400 250000 300 38400 4800 57600 74880 9600" \
    comterm -p COM3 -b ""
export COMTERM_DEVICE_DIR=$dir/ports
complete_as "COM12 COM3 tty0" comterm -b 2 -p ""
complete_as "COM12 COM3" comterm -p CO
complete_as "230400 2400 250000" comterm -b 2
exit $failures
