#!/bin/bash
# The board side of virtual-board/run: PID 1 of fresh user, network, mount
# and PID namespaces. Builds the board, runs the command, and exits with its
# status; the kernel then ends every process of the board.
set -eu
unset CDPATH

# Only as PID 1 of the board's own namespaces: anywhere else it would change the host.
[ $$ -eq 1 ] || { echo "virtual-board: board.sh runs only inside virtual-board/run" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$KIT_BUILD_DIR
tools=$repo/testbed/tools
state=/run/kit
faults=" ${KIT_VB_FAULTS:-} "

fault() { case "$faults" in *" $1 "* | *" $1="*) return 0 ;; esac; return 1; }
# The argument of a fault given as NAME=ARG, or the default.
fault_arg() {
    for f in $faults; do case "$f" in "$1="*) echo "${f#*=}"; return ;; esac; done
    echo "$2"
}
die() { echo "virtual-board: $*" >&2; exit 125; }
need() { [ -x "$1" ] || die "missing $1 (build first: ./kit build)"; }
# Starts a stand-in in the background and waits (bounded) for its "ready" line.
start_ready() {
    log=$1; shift
    "$@" > "$log" 2>&1 &
    i=0
    until grep -q ready "$log" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 500 ] || die "$1 did not start: $(cat "$log")"
        kill -0 $! 2>/dev/null || die "$1 ended: $(cat "$log")"
        sleep 0.01
    done
}

for b in testbed/serialsim/serialsim testbed/echofw/echofw testbed/eventfeed/eventfeed \
    testbed/rtcsim/rtcsim testbed/gpiosim/gpiosim_ctl; do
    need "$build/$b"
done
gpiosim_lib=$(ls "$build"/testbed/gpiosim/*gpiosim*.so 2>/dev/null | head -n 1)
[ -n "$gpiosim_lib" ] || die "missing the simulated GPIO chip library in $build/testbed/gpiosim"

# --- mounts: nothing done here is seen outside -------------------------------
mount --make-rprivate /
mount -t proc proc /proc
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p $state

# --- network ------------------------------------------------------------------
# Link-local addresses are usable at once only without duplicate address detection.
echo 0 > /proc/sys/net/ipv6/conf/all/accept_dad
echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad
ip link set lo up
# The cable between the two Ethernet ports.
ip link add eth0 address 02:00:00:00:00:01 type veth peer name eth1 address 02:00:00:00:00:02
if fault eth1-no-address; then echo 1 > /proc/sys/net/ipv6/conf/eth1/disable_ipv6; fi
ip link set eth0 up
if ! fault eth-unplugged; then ip link set eth1 up; fi
# The USB gadget link: its far end is the PC, in a namespace of its own.
unshare --net sleep 2147483647 &
pc=$!
ip link add usb0 address 02:00:00:00:00:10 type veth peer name usbpc
# Until the PC process has left for its namespace, moving the link there would keep it here.
i=0
while :; do
    pcns=$(readlink /proc/$pc/ns/net 2>/dev/null) || pcns=""
    [ -z "$pcns" ] || [ "$pcns" = "$(readlink /proc/self/ns/net)" ] || break
    kill -0 $pc 2>/dev/null || die "the PC side ended before its namespace existed"
    i=$((i + 1)); [ $i -lt 500 ] || die "no namespace for the PC side"; sleep 0.01
done
ip link set usbpc netns $pc
ip link set usb0 up
if ! fault usb0-peer-down; then nsenter -t $pc -n ip link set usbpc up; fi

# --- sysfs: a fresh one for this network namespace, overlays where fakes live --
# The fake entries are written into each overlay's upper layer before it is
# mounted: in a user namespace, sysfs directories refuse new entries.
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs $state
layer() { mkdir -p "$state/$1/upper" "$state/$1/work"; echo "$state/$1/upper"; }
overlay() {
    mount -t overlay overlay -o "lowerdir=$2,upperdir=$state/$1/upper,workdir=$state/$1/work" "$2"
}
bus=$(layer bus)
iio=$bus/iio/devices/iio:device0
if fault adc-missing; then
    # Nothing of the host's own IIO devices may show either.
    mkdir -p "$bus/iio/devices"
else
    mkdir -p "$iio"
    # 10 raw x 0.25 mV = 2.5 mV, in the middle of the 2..3 mV window.
    if fault adc-scale-zero; then echo 0 > "$iio/in_voltage0_scale"; else echo 0.250000000 > "$iio/in_voltage0_scale"; fi
    if fault adc-out-of-range; then echo 40 > "$iio/in_voltage0_raw"; else echo 10 > "$iio/in_voltage0_raw"; fi
fi
class=$(layer class)
mkdir -p "$class/rtc/rtc0"
echo rtc-sim > "$class/rtc/rtc0/name"
echo 00:00:00 > "$class/rtc/rtc0/time"
: > "$class/rtc/rtc0/wakealarm"
for can in can0 can1; do
    mkdir -p "$class/net/$can"
    echo up > "$class/net/$can/operstate"
done
irq=$(layer irq)
mkdir -p "$irq/200"
printf '0,0\n' > "$irq/200/per_cpu_count"
overlay bus /sys/bus
if fault adc-missing; then mount -t tmpfs tmpfs /sys/bus/iio/devices; fi
overlay class /sys/class
overlay irq /sys/kernel/irq
rtc=/sys/class/rtc/rtc0
rtc_irq=/sys/kernel/irq/200

# --- /dev: a tmpfs holding just what programs need ---------------------------
dev=$state/dev
mkdir -p $dev
mount -t tmpfs -o mode=0755 tmpfs $dev
for node in null zero full random urandom tty; do
    : > $dev/$node
    mount --bind /dev/$node $dev/$node
done
mkdir -p $dev/pts $dev/shm $dev/input
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts $dev/pts
ln -s pts/ptmx $dev/ptmx
ln -s /proc/self/fd $dev/fd
ln -s /proc/self/fd/0 $dev/stdin
ln -s /proc/self/fd/1 $dev/stdout
ln -s /proc/self/fd/2 $dev/stderr
mount --move $dev /dev

# --- the USB stick ------------------------------------------------------------
if ! fault usb-stick-missing; then
    mkdir -p /run/media/usb0
    if fault fixture-wrong; then
        printf 'TESTFILE\n' > /run/media/usb0/testfile.txt
    elif fault fixture-short; then
        printf 'test' > /run/media/usb0/testfile.txt
    else
        printf 'testfile\n' > /run/media/usb0/testfile.txt
    fi
fi

# --- simulated devices ----------------------------------------------------------
rs485=loopback
fault rs485-silent && rs485=silent
fault rs485-garbled && rs485=garbage
fault rs485-partial && rs485=partial
start_ready $state/serialsim.log "$build/testbed/serialsim/serialsim" $rs485 /dev/ttymxc1

echo_opts=""
fault echo-silent && echo_opts="--silent"
fault echo-corrupt && echo_opts="--corrupt $(fault_arg echo-corrupt 3)"
fault echo-short && echo_opts="--split $(fault_arg echo-short 0):20"
# shellcheck disable=SC2086
start_ready $state/echofw.log "$build/testbed/echofw/echofw" --link /dev/ttyRPMSG $echo_opts

# The button: one press and release of key 0x100, fed whole records when read.
"$build/testbed/eventfeed/eventfeed" -t 0 /dev/input/event0 1:256:1 1:256:0 > $state/eventfeed.log 2>&1 &
i=0
until [ -p /dev/input/event0 ]; do
    i=$((i + 1)); [ $i -lt 500 ] || die "eventfeed did not start: $(cat $state/eventfeed.log)"; sleep 0.01
done

"$build/testbed/rtcsim/rtcsim" $rtc --irq-file $rtc_irq/per_cpu_count --limit-ms 86400000 > $state/rtcsim.log 2>&1 &
rtcsim=$!
sleep 0.02
kill -0 $rtcsim 2>/dev/null || die "rtcsim did not start: $(cat $state/rtcsim.log)"

# GPIO: the relay board (inputs 6,5,4,3 follow nothing until set; relays 8..11)
# and a pin-pair fixture (outputs 16,17,18 wired to inputs 19,20,21).
gpio_state=$state/gpiochip0
ctl="$build/testbed/gpiosim/gpiosim_ctl"
"$ctl" $gpio_state create /dev/gpiochip0 32 > /dev/null
"$ctl" $gpio_state wire 16 19 wire 17 20 wire 18 21 > /dev/null
if fault gpio-pair-open; then "$ctl" $gpio_state unwire 21 > /dev/null; fi
if fault gpio-input-stuck; then "$ctl" $gpio_state unwire 19 set 19 1 > /dev/null; fi
: > /dev/gpiochip0
export GPIOSIM_STATE=$gpio_state

# --- tools the hardware of this machine lacks ----------------------------------
bin=$state/bin
mkdir -p $bin
for t in iw hcitool bluetoothctl cansend candump cangen; do ln -s "$tools/$t" $bin/$t; done
ln -s "$ctl" $bin/gpiosim_ctl
ln -s "$build/testbed/eventfeed/eventfeed" $bin/eventfeed
export KIT_RADIO_DIR=$state/radio KIT_CAN_DIR=$state/can
mkdir -p $KIT_RADIO_DIR/wlan/wlan0 $KIT_RADIO_DIR/bt $KIT_CAN_DIR/can0 $KIT_CAN_DIR/can1
echo can1 > $KIT_CAN_DIR/can0/peer
echo can0 > $KIT_CAN_DIR/can1/peer
export PATH="$bin:$PATH"
# Sanitizer builds of the programs run with the simulated chip preloaded ahead of their runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

if fault relay-busy; then start_ready $state/holder.log "$ctl" $gpio_state hold 9 other-consumer; fi

# --- run it ------------------------------------------------------------------------
export LD_PRELOAD="$gpiosim_lib${LD_PRELOAD:+:$LD_PRELOAD}"
cd "${KIT_VB_CWD:-/run}" 2>/dev/null || cd /run
unset KIT_VB_FAULTS KIT_VB_CWD
# The program starts as from an operator's shell: descriptors 0 to 2 only.
for fd in $(ls /proc/$$/fd); do
    [ "$fd" -gt 2 ] && eval "exec $fd>&-"
done
set +e
"$@"
status=$?
exit $status
