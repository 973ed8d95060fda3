#!/bin/sh
# Lists the dynamic symbols of the product library and checks that the twelve
# MAILWARD_ exports are there under their plain names, and that no C++
# symbol of the library's own classes leaks into its interface.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
missing=0
for name in MAILWARD_init MAILWARD_exit MAILWARD_add_rule MAILWARD_clear_rules \
    MAILWARD_check_header MAILWARD_check_mail MAILWARD_set_default_action \
    MAILWARD_activate_av MAILWARD_install_update_av MAILWARD_set_av_stamp \
    MAILWARD_DecodeHeaderData MAILWARD_FreeData; do
    if ! printf '%s\n' "$syms" | grep -qx "$name"; then
        echo "missing export: $name"
        missing=1
    fi
done
# C++ symbols of our own (not the standard library's template statics, which
# the toolchain marks unique and so cannot hide) must stay hidden.
leaked=$(printf '%s\n' "$syms" | grep '^_Z' | c++filt | grep -v 'std::' || true)
count=$(printf '%s\n' "$syms" | grep -c '^MAILWARD_' || true)
echo "MAILWARD_ exports: $count"
[ "$count" -eq 12 ] || missing=1
if [ -n "$leaked" ]; then
    echo "internal symbols exported:"; printf '%s\n' "$leaked"; missing=1
fi
exit $missing
