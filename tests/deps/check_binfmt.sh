#!/bin/sh
# Usage: check_binfmt.sh PROGRAM
# The tests start the cross-built programs themselves (fork and exec), so the
# kernel must hand foreign binaries to the emulator: PROGRAM, a cross-built
# echofw, has to run when started directly and answer a bad option with its
# usage text.
out=$("$1" --no-such-option 2>&1)
case "$out" in
*"usage: echofw"*) echo "$1 runs directly"; exit 0 ;;
esac
echo "$1 does not run when started directly: $out" | head -n 3
echo "register the emulator with binfmt_misc (as root):"
echo "  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc"
echo "  cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register"
exit 1
