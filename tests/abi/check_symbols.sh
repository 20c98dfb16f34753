#!/bin/sh
# check_symbols.sh TOOL LIBRARY NAME:ARGBYTES...
# Fails unless LIBRARY exports exactly the named functions by their plain names.
# For a Windows DLL (TOOL is objdump) also: a PE32 i386 image, importing only
# KERNEL32, WINMM and msvcrt (or the DLLs named in QRV_ALLOWED_IMPORTS), each
# export popping its ARGBYTES on return.
set -eu
tool=$1
lib=$2
shift 2
expected=$(for e in "$@"; do echo "${e%%:*}"; done | sort)
fail() { echo "$lib: $*" >&2; exit 1; }

case $tool in
  *objdump*)
    headers=$("$tool" -p "$lib")
    # The 32-bit build is the one delivered; the 64-bit one only runs tests.
    format=$(echo "$headers" | sed -n 's/.*file format //p' | head -n 1)
    case $format in
      pei-i386|pei-x86-64) ;;
      *) fail "not a PE32 i386 image ($format)" ;;
    esac
    echo "$headers" | grep -qx '[[:space:]]*DLL' || fail "not a DLL"
    imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
    allowed=$(echo "${QRV_ALLOWED_IMPORTS:-KERNEL32.DLL WINMM.DLL MSVCRT.DLL}" | tr '[:lower:]' '[:upper:]')
    for dll in $imports; do
      upper=$(echo "$dll" | tr '[:lower:]' '[:upper:]')
      case " $allowed " in
        *" $upper "*) ;;
        *) fail "imports $dll" ;;
      esac
    done
    # The export name table: lines like "	[   0] GetPluginInfo".
    actual=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
             | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
    [ "$actual" = "$expected" ] || fail "exports [$actual], expected [$expected]"
    [ "$format" = pei-i386 ] || { echo "$lib: exports $(echo $expected) as expected"; exit 0; }
    code=$("$tool" -d "$lib")
    for e in "$@"; do
      name=${e%%:*}
      bytes=${e##*:}
      [ "$bytes" -ne 0 ] || continue  # nothing to pop: a plain ret
      hex=$(printf '0x%x' "$bytes")
      rets=$(echo "$code" | awk -v label="<_${name}@${bytes}>:" '
        index($0, label) { inside = 1; next }
        inside && /^[0-9a-f]+ <.*>:$/ { exit }
        inside && /\tret/ { sub(/.*\tret[[:space:]]*/, ""); print }')
      [ -n "$rets" ] || fail "$name@$bytes not found in the code"
      for r in $rets; do
        [ "$r" = "\$$hex" ] || fail "$name returns with 'ret $r', expected 'ret \$$hex'"
      done
    done
    ;;
  *)
    actual=$("$tool" -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ { print $3 }' | sort)
    [ "$actual" = "$expected" ] || fail "exports [$actual], expected [$expected]"
    ;;
esac
echo "$lib: exports $(echo $expected) as expected"
