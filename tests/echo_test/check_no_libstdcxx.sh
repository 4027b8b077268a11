#!/bin/sh
# The echo programs must run on a board without libstdc++: their dynamic
# section may name glibc's own libraries (and the shared libgcc_s) only.
status=0
for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ -n "$needed" ] || { echo "$program: no NEEDED entries read"; status=1; }
    for lib in $needed; do
        case "$lib" in
            libc.so.*|libm.so.*|libgcc_s.so.*|ld-linux*) ;;
            # Sanitizer builds add their runtime; that is not what ships.
            libasan.so.*|libubsan.so.*|libtsan.so.*) ;;
            *) echo "$program needs $lib"; status=1 ;;
        esac
    done
done
exit $status
