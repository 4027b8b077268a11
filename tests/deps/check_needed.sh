#!/bin/sh
# Usage: check_needed.sh MACHINE BINARY ALLOWED...
# Fails when the binary is not built for MACHINE (readelf's name for it) or
# needs a shared library outside the allowed set (libstdc++ above all: the
# board image is not promised to carry it).
machine=$1; bin=$2; shift 2
built=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
if [ "$built" != "$machine" ]; then
    echo "$bin is built for [$built], not [$machine]"
    exit 1
fi
needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || { echo "no NEEDED entries in $bin"; exit 1; }
status=0
for lib in $needed; do
    ok=0
    for allowed in "$@"; do [ "$lib" = "$allowed" ] && ok=1; done
    if [ $ok = 0 ]; then echo "$bin needs $lib"; status=1; fi
done
echo "$bin ($built): $(echo $needed)"
exit $status
