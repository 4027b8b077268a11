#!/bin/sh
# scenario.sh PACKAGE.deb   (runs on the booted Debian system, from kit-board.service)
#
# The arm64 package's life on a Debian 12 system with systemd: install, use,
# service, purge. Each step writes a section "== NAME" and what it saw, for
# the test to judge; a step's own waits are bounded and report "late".
# The set-up's mount namespace holds the USB stick and the simulated chip's
# configfs; apt and systemctl work in the system's own (sys).
set -u
deb=$1
sys() { nsenter --target 1 --mount -- "$@"; }
section() { echo "== $1"; }
uptime_s() { cut -d ' ' -f 1 /proc/uptime; }
# wait_for SECONDS COMMAND...: polls COMMAND for at most SECONDS of the
# board's clock (one systemctl call alone takes a good part of a second
# here); status 1 when it never held.
uptime_ds() { awk '{ printf "%d", $1 * 10 }' /proc/uptime; }
wait_for() {
    deadline=$(($(uptime_ds) + $1 * 10))
    shift
    until "$@" > /dev/null 2>&1; do
        [ "$(uptime_ds)" -lt $deadline ] || return 1
        sleep 0.1
    done
}
# Seconds from T (uptime) to when systemd started the service's process, by
# systemd's own clock: polling here is too slow to time a restart with.
started_after() {
    echo "$(sys systemctl show -P ExecMainStartTimestampMonotonic pylorn.service) $1" |
        awk '{ printf "%.1f", $1 / 1000000 - $2 }'
}
state() { sys systemctl show -P ActiveState pylorn.service 2> /dev/null; }
is_state() { [ "$(state)" = "$1" ]; }
main_pid() { sys systemctl show -P MainPID pylorn.service; }
lines="3 4 5 6 8 9 10 11"
gpio_lines() { gpioinfo -c /dev/gpiochip0 $lines 2>&1 | tr -s '\t ' ' '; }
export DEBIAN_FRONTEND=noninteractive

section ready
echo "up $(uptime_s)"

section before
dpkg-query -W -f '${Status}\n' libgpiod3 2> /dev/null | grep -q '^install ok installed' && echo "libgpiod3 installed" ||
    echo "libgpiod3 absent"

section install
# Seen from the system's namespace too: the root disk is shared, the host's folders are not.
cp "$deb" /var/tmp/
sys apt-get install -y -q --no-install-recommends "/var/tmp/$(basename "$deb")" > /tmp/apt.log 2>&1
echo "status $?"
grep -E '^(E|W):' /tmp/apt.log
dpkg-query -W -f '${Package} ${Version} ${Status}\n' factory-test-kit libgpiod3 2>&1
apt-cache policy libgpiod3 | sed -n 's/^ *Installed: //p' | sed 's/^/policy /'
cp /tmp/apt.log /var/tmp/apt.log
echo "installed at $(uptime_s)"

section man
for p in corvane quillon2 quillon1 pylorn; do
    man -P cat "$p" > /tmp/man.txt 2> /tmp/man.err
    echo "$p $? $(sed -n '/^NAME/{n;p;q}' /tmp/man.txt | sed 's/^ *//') $(cat /tmp/man.err)"
done

section corvane
(cd /tmp && /usr/bin/corvane)
echo "status $?"

section quillon2
/usr/bin/quillon2
echo "status $?"
echo "received $(grep -c '^rx ' "$KIT_STATE/echofw.log")"

section started
# gpiod for looking at the lines; from the same local repository.
sys apt-get install -y -q --no-install-recommends gpiod > /tmp/apt-gpiod.log 2>&1 || cat /tmp/apt-gpiod.log
wait_for 30 is_state active || echo late
echo "state $(state)"
gpio_lines

section identity
pid=$(main_pid)
uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$pid/status")
gid=$(sed -n 's/^Gid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$pid/status")
groups=""
for g in $(sed -n 's/^Groups:[[:space:]]*//p' "/proc/$pid/status"); do
    name=$(getent group "$g" | cut -d : -f 1)
    groups="$groups ${name:-$g}"
done
echo "uid $uid"
echo "gid $gid"
echo "groups$groups"
echo "capeff $(sed -n 's/^CapEff:[[:space:]]*//p' "/proc/$pid/status")"
echo "user $(sys readlink "/run/systemd/dynamic-uid/direct:$uid")"
dyn_uid=$uid

section follow
g=$(readlink -f /sys/bus/gpio/devices/gpiochip0)
level_is() { [ "$(cat "$g/sim_gpio$1/value")" = "$2" ]; }
for pair in 6:8 5:9 4:10 3:11; do
    in=${pair%:*} out=${pair#*:}
    echo pull-up > "$g/sim_gpio$in/pull"
    wait_for 3 level_is "$out" 1 && printf 1 || printf late
    echo pull-down > "$g/sim_gpio$in/pull"
    wait_for 3 level_is "$out" 0 && printf 0 || printf late
    printf ' '
done
echo

section restart
before=$(main_pid)
restarts() { sys systemctl show -P NRestarts pylorn.service; }
echo "restarts before $(restarts)"
# (kill 0 would end this scenario and the set-up with it.)
[ "$before" -gt 0 ] && kill -KILL "$before"
t0=$(uptime_s)
again() { p=$(main_pid) && [ "$p" != 0 ] && [ "$p" != "$before" ] && is_state active; }
wait_for 15 again || echo late
echo "back after $(started_after "$t0")"
echo "restarts after $(restarts)"
wait_for 5 sh -c "gpioinfo -c /dev/gpiochip0 11 | grep -q consumer=rel4" || echo late
gpio_lines

section stop
sys systemctl stop pylorn.service
echo "state $(state)"
gpio_lines

section chip
# The chip goes and comes back (with nothing holding it, it is gpiochip0
# again): the service starts by itself.
sim=/sys/kernel/config/gpio-sim/board
device_state() { [ "$(sys systemctl show -P ActiveState dev-gpiochip0.device)" = "$1" ]; }
echo 0 > $sim/live
# Back once systemd has seen it go, as a chip that comes back later would be.
wait_for 10 device_state inactive || echo late
echo "without chip $(ls /dev/gpiochip* 2> /dev/null)"
echo 1 > $sim/live
t0=$(uptime_s)
wait_for 20 is_state active || { echo late; sys systemctl status --no-pager pylorn.service dev-gpiochip0.device; }
echo "with $(ls /dev/gpiochip*) $(state) after $(started_after "$t0")"
wait_for 5 sh -c "gpioinfo -c /dev/gpiochip0 11 | grep -q consumer=rel4" || echo late
gpio_lines

section purge
pid=$(main_pid)
dpkg-query -L factory-test-kit > /tmp/files
sys apt-get purge -y -q factory-test-kit > /tmp/apt-purge.log 2>&1
echo "status $?"
grep -E '^(E|W):' /tmp/apt-purge.log
echo "state $(state)"
echo "load $(sys systemctl show -P LoadState pylorn.service)"
[ -e "/proc/$pid" ] && echo "process $pid still there"
for p in /proc/[0-9]*; do
    sed -n "s/^Uid:[[:space:]]*$dyn_uid[[:space:]].*/process of the service's user: ${p#/proc\/}/p" "$p/status" 2> /dev/null
done
sys ls /run/systemd/dynamic-uid | grep -e pylorn -e "$dyn_uid"
while read -r f; do [ -f "$f" ] && echo "left: $f"; done < /tmp/files
# (man-db's page cache is its own; its daily clean-up prunes it.)
sys find / -xdev -path /var/cache/man -prune -o -name '*pylorn*' -print | sed 's/^/left: /'
gpio_lines
