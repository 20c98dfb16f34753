#!/bin/sh
# check_imports.sh OBJDUMP PROGRAM DLL...
# Fails when PROGRAM imports any DLL other than the named ones (compared
# without regard to case), so that it runs as one file on a clean system.
set -eu
tool=$1
program=$2
shift 2
imports=$("$tool" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
[ -n "$imports" ] || { echo "$program: no import table found" >&2; exit 1; }
allowed=$(for dll in "$@"; do echo "$dll"; done | tr '[:lower:]' '[:upper:]')
for dll in $imports; do
  upper=$(echo "$dll" | tr '[:lower:]' '[:upper:]')
  echo "$allowed" | grep -qx "$upper" || { echo "$program: imports $dll" >&2; exit 1; }
done
echo "$program: imports only" $imports
