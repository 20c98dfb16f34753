#!/bin/sh
# installer_test.sh SETUP.EXE WIN64_BUILD
# The Windows installer under 64-bit Wine, in a prefix of its own: a silent
# install; the installed files and the Programs and Features entry; the codec
# tests of WIN64_BUILD (wic_com_tests --installed) on the installed copy, as
# the registry names it in both views; the silent uninstall its entry names;
# then no file left and the registry (HKLM\Software and HKCU\Software, exported
# by regedit) as it was before the install. Prints the keys the install added
# and the difference after the uninstall (none, when it passes).
set -u
setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
loader=/usr/lib/wine/wine64
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset DISPLAY
# The server lives only as long as its programs, so that `wineserver -w` waits
# for the installer and for the uninstaller's copy of itself. No Wine program
# gets our output: Wine's services would hold it open (see wine-session).
trap 'wineserver -k </dev/null >/dev/null 2>&1; rm -rf "$work"' EXIT
wine() { "$loader" "$@" </dev/null >>"$work/wine.log" 2>&1; }
failed=0
fail() {
  echo "installer_test: $*" >&2
  failed=1
}

# Both exports in UTF-8, one line per key and one per value (after its key's
# name), sorted.
export_registry() {
  for root in HKEY_LOCAL_MACHINE HKEY_CURRENT_USER; do
    wine regedit /E "Z:$work/$1-$root.reg" "$root\\Software"
    iconv -f UTF-16LE -t UTF-8 "$work/$1-$root.reg" | sed 's/\r$//; 1s/^\xEF\xBB\xBF//' |
      awk '/^\[/ && value == "" { key = $0; print; next }
           NF { sub(/^ +/, ""); value = value $0 }
           value ~ /\\$/ { sub(/\\$/, "", value); next }
           value != "" { print key " " value; value = "" }'
  done | sort >"$work/$1.txt"
}

wine wineboot -i
wineserver -w
export_registry before

# Wine hands back the Windows exit code: 0 is success for both.
wine "$setup" /S || fail "the silent install exited with status $?"
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/Quorvanel"
for file in README.txt quorvanel-wic.dll x86/quorvanel-wic.dll Plug-ins/ifqrvnel.spi \
  Plug-ins/axqrvnel.spi Plug-ins/qrv.exe uninstall.exe; do
  [ -f "$dir/$file" ] || fail "the install left no $file"
done
export_registry installed
echo "installer_test: the install added these registry lines:"
comm -13 "$work/before.txt" "$work/installed.txt" | grep -v '^$'
grep -q ' "QuietUninstallString"=' "$work/installed.txt" \
  || fail "no QuietUninstallString in Programs and Features"

if ! "$loader" "$build/wic_com_tests.exe" --installed --gtest_brief=1 </dev/null \
  >"$work/tests.log" 2>&1; then
  cat "$work/tests.log" >&2
  fail "the codec tests failed on the installed copy"
else
  grep -E '^\[  (PASSED|SKIPPED) ' "$work/tests.log"
fi

# "C:\...\uninstall.exe" /S, as the .reg file escapes it.
quiet=$(sed -n 's/.* "QuietUninstallString"="\(.*\)"$/\1/p' "$work/installed.txt" |
  sed 's/\\"/"/g; s/\\\\/\\/g')
program=$(printf '%s' "$quiet" | sed 's/^"\([^"]*\)".*/\1/')
# shellcheck disable=SC2086
wine "$program" ${quiet#\"$program\"} || fail "the silent uninstall exited with status $?"
wineserver -w
[ ! -e "$dir" ] || fail "the uninstall left $(cd "$dir" && find . -print | tr '\n' ' ')"
export_registry after
if ! diff "$work/before.txt" "$work/after.txt" >"$work/registry.diff"; then
  cat "$work/registry.diff" >&2
  fail "the registry after the uninstall differs from before the install"
fi
echo "installer_test: registry diff after the uninstall: $(grep -c '^[<>]' "$work/registry.diff") lines"
[ $failed = 0 ] && echo "installer_test: install, installed codec tests and uninstall passed"
exit $failed
