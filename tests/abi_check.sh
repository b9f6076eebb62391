#!/usr/bin/env bash
# The shape of the shared object its users load: its SONAME, that it needs
# nothing but the C library, that it exports only nif_ names, and that it
# pulls in no C++ runtime.
set -u
lib=$1
fail=0
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^nif_')
cxx=$(nm -D --undefined-only "$lib" | awk '{print $2}' | grep -E '^(_Z|__cxa|__gxx|_Unwind)' | grep -v '@GLIBC_')
echo "SONAME: $soname"
echo "NEEDED: $needed"
[ "$soname" = "zeriza.so.1" ] || { echo "FAIL: SONAME is '$soname'"; fail=1; }
[ "$needed" = "libc.so.6 " ] || { echo "FAIL: NEEDED is '$needed'"; fail=1; }
[ -z "$exports" ] || { echo "FAIL: exports other than nif_:"; echo "$exports"; fail=1; }
[ -z "$cxx" ] || { echo "FAIL: C++ runtime symbols needed:"; echo "$cxx"; fail=1; }
for sym in wtree_create wtree_find_word str2lcs; do
  nm -D --undefined-only "$lib" | grep -qw "$sym" || { echo "FAIL: host routine $sym is not left undefined"; fail=1; }
done
nm -D --defined-only "$lib" | awk '{print "exported:", $3}'
exit $fail
