#!/usr/bin/env bash
# Checks the dynamic symbol table of the shared library: every public entry point is there,
# unmangled, and nothing but the public interface is exported.
set -euo pipefail
lib=$1
headers=$2
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
status=0

declared=$(grep -ohE '\b(FT_|OstraneCommsUSB)[A-Za-z0-9_]*\(' "$headers"/ft60x.h "$headers"/OstraneCommsUSB.h \
           | tr -d '(' | sort -u)
for name in $declared; do
    if ! grep -qx "$name" <<<"$syms"; then
        echo "missing export: $name"
        status=1
    fi
done

while read -r s; do
    case "$s" in
        FT_*|OstraneCommsUSB*) ;;
        _ZN7Tessory7Ostrane*|_ZNK7Tessory7Ostrane*|_ZTVN7Tessory7Ostrane*|_ZTIN7Tessory7Ostrane*|_ZTSN7Tessory7Ostrane*) ;;
        *) echo "unexpected export: $s ($(c++filt "$s"))"; status=1 ;;
    esac
done <<<"$syms"

soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libOstraneCommsUSB.so.0" ]; then
    echo "soname is '$soname', expected libOstraneCommsUSB.so.0"
    status=1
fi
[ $status -eq 0 ] && echo "exports: $(wc -l <<<"$syms") symbols, all public"
exit $status
