#!/bin/sh
# Usage: check_needed.sh BINARY ALLOWED...
# Fails when the binary needs a shared library outside the allowed set
# (libstdc++ above all: the board image is not promised to carry it).
bin=$1; shift
needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || { echo "no NEEDED entries in $bin"; exit 1; }
status=0
for lib in $needed; do
    ok=0
    for allowed in "$@"; do [ "$lib" = "$allowed" ] && ok=1; done
    if [ $ok = 0 ]; then echo "$bin needs $lib"; status=1; fi
done
echo "$bin: $(echo $needed)"
exit $status
