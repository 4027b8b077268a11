#!/bin/sh
# Usage: check_install.sh CMAKE BUILD_DIR BINDIR MANDIR PROGRAM...
# Installs the build into a scratch tree with prefix /usr, as the package
# does, and checks that every file is there: the four programs as built, a
# manual page for each, the relay follower's service naming the installed
# program, its udev rule and its group.
cmake=$1; build=$2; bindir=$3; mandir=$4; shift 4
stage=$(mktemp -d) || exit 1
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage "$cmake" --install "$build" --prefix /usr > "$stage.log" 2>&1 ||
    { cat "$stage.log"; rm -f "$stage.log"; echo "cmake --install failed"; exit 1; }
rm -f "$stage.log"
root=$stage/usr
status=0
fail() { echo "$*"; status=1; }

for built in "$@"; do
    p=$(basename "$built")
    [ -x "$root/$bindir/$p" ] || { fail "missing program $bindir/$p"; continue; }
    cmp -s "$built" "$root/$bindir/$p" || fail "$bindir/$p is not the program built in $build"
    page=$root/$mandir/man1/$p.1.gz
    [ -f "$page" ] || { fail "missing manual page $mandir/man1/$p.1.gz"; continue; }
    head=$(gzip -dc "$page" | sed -n 's/^\.TH \([^ ]*\) 1 .*/\1/p')
    upper=$(echo "$p" | tr a-z A-Z)
    [ "$head" = "$upper" ] || fail "$p.1.gz has title [$head], not [$upper]"
    gzip -dc "$page" | grep -q "^$p \\\\- " || fail "$p.1.gz has no NAME line for $p"
    gzip -dc "$page" | grep -q '^\.SH EXIT STATUS' || fail "$p.1.gz has no EXIT STATUS section"
done

unit=$root/lib/systemd/system/pylorn.service
if [ -f "$unit" ]; then
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    [ "$exec_start" = "/usr/$bindir/pylorn" ] || fail "pylorn.service starts [$exec_start], not /usr/$bindir/pylorn"
    grep -q '^Restart=on-failure$' "$unit" || fail "pylorn.service does not restart on failure"
    grep -q '^BindsTo=dev-gpiochip0.device$' "$unit" || fail "pylorn.service does not wait for the GPIO chip"
    grep -q '^DynamicUser=yes$' "$unit" || fail "pylorn.service runs with the privileges of a fixed user"
    grep -q '@[A-Z_]*@' "$unit" && fail "pylorn.service has an unreplaced placeholder: $(grep '@[A-Z_]*@' "$unit")"
else
    fail "missing lib/systemd/system/pylorn.service"
fi
rule=$root/lib/udev/rules.d/60-pylorn-gpio.rules
grep -q 'KERNEL=="gpiochip0".*GROUP="gpio".*TAG+="systemd"' "$rule" 2>/dev/null ||
    fail "60-pylorn-gpio.rules does not give the chip to the gpio group and to systemd"
grep -q '^g gpio ' "$root/lib/sysusers.d/pylorn.conf" 2>/dev/null || fail "sysusers.d/pylorn.conf does not make the gpio group"
for doc in copyright changelog.gz; do
    [ -f "$root/share/doc/factory-test-kit/$doc" ] || fail "missing share/doc/factory-test-kit/$doc"
done

[ $status = 0 ] && echo "installed: $(cd "$stage" && find . -type f | sort | tr '\n' ' ')"
exit $status
