#!/bin/sh
# check_globals.sh TOOL FILE...
# Fails when any object file or static library among FILE defines a writable
# global or static variable. The plug-ins keep no state between calls and no
# export may write one; constant tables are fine.
#
# TOOL is objdump for ELF objects: an object symbol ('O') in .data, .bss, their
# thread-local forms or COMMON is writable, one in .rodata or .data.rel.ro
# (constant tables that hold addresses) is not. TOOL is nm for PE/COFF objects,
# where constant tables sit in .rdata: types D, d, B, b and C are writable.
set -eu
tool=$1
shift
[ $# -gt 0 ] || { echo "check_globals.sh: no files to check" >&2; exit 2; }

found=""
for file in "$@"; do
  [ -f "$file" ] || { echo "check_globals.sh: no file $file" >&2; exit 2; }
  case $tool in
    *objdump*)
      # "0000000000000000 l     O .bss	0000000000000004 _ZL5count"
      hits=$("$tool" -t "$file" | awk '
        $0 ~ /^[0-9a-f]+ / {
          flags = substr($0, index($0, " ") + 1, 7)
          rest = substr($0, index($0, " ") + 8)
          split(rest, f, /[ \t]+/)
          section = f[2]; name = f[4]
          if (flags !~ /O/) next
          if (section ~ /^\.data\.rel\.ro/) next
          if (section ~ /^\.(data|bss|tdata|tbss)($|\.)/ || section == "*COM*") print section " " name
        }')
      ;;
    *)
      # Section symbols (.data, .bss) name no variable.
      hits=$("$tool" "$file" | awk 'NF >= 3 && $(NF-1) ~ /^[DdBbC]$/ && $NF !~ /^\./ { print $(NF-1) " " $NF }')
      ;;
  esac
  # Instrumentation of the sanitizer builds is not the code's own state.
  hits=$(echo "$hits" | grep -v -e '__asan' -e '__ubsan' -e '__sancov' -e '^$' || true)
  if [ -n "$hits" ]; then
    found="$found
$file:
$hits"
  fi
done

if [ -n "$found" ]; then
  echo "writable globals or statics found:$found" >&2
  exit 1
fi
echo "no writable globals in $# files"
