#!/usr/bin/env bash
# The built program carries the hardening of a Debian package, as readelf shows it: relocations
# bound at start-up and then read-only, a position-independent executable, the stack protector and
# glibc's checked functions. Only the flags named are looked for: those the build added.
# usage: check_hardening.sh PROGRAM FLAG...
set -u
program=$1
shift
elf=$(readelf -W --program-headers --dynamic --dyn-syms "$program") || exit 1
failures=0
# flag | what readelf shows of it
while IFS='|' read -r flag pattern; do
    [[ " $* " == *" $flag "* ]] || continue
    grep -Eq "$pattern" <<<"$elf" || { echo "FAIL: $flag: no match for /$pattern/"; failures=1; }
done <<'ROWS'
-Wl,-z,now|\(FLAGS\) +BIND_NOW|Flags: NOW
-Wl,-z,relro|^ +GNU_RELRO
-pie|\(FLAGS_1\) .*Flags:.* PIE
-fstack-protector-strong| __stack_chk_fail
-D_FORTIFY_SOURCE=2| __[a-z]+_chk(@| )
ROWS
exit $failures
