#!/bin/sh
# check_windows_wheel.sh OBJDUMP WHEEL WORKDIR PACKAGE "IMAGE_EXPORTS" "ARCHIVE_EXPORTS"
# The Windows wheel holds the package's sources, the 64-bit plug-ins and the
# helper DLL, each importing only system DLLs and exporting exactly its plain
# names. No Windows Python runs here, so this is what can be checked of it.
set -eu
objdump=$1 wheel=$2 work=$3 package=$4 image_exports=$5 archive_exports=$6
checks=$(dirname "$0")/../abi/check_symbols.sh

name=$(basename "$wheel")
case $name in
  quorvanel-*-py3-none-win_amd64.whl) ;;
  *) echo "$wheel: not a win_amd64 wheel of quorvanel" >&2; exit 1 ;;
esac
version=$(echo "$name" | cut -d- -f2)
rm -rf "$work"
mkdir -p "$work"
unzip -q "$wheel" -d "$work"

expected=$({
  for source in "$package"/*.py; do echo "quorvanel/$(basename "$source")"; done
  echo quorvanel/_version.py
  echo quorvanel/py.typed
  for lib in ifqrvnel.spi axqrvnel.spi qrvhelper.dll; do echo "quorvanel/_libs/$lib"; done
  for file in METADATA WHEEL RECORD; do echo "quorvanel-$version.dist-info/$file"; done
} | sort)
actual=$(cd "$work" && find . -type f | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  echo "$wheel holds:" "$actual" "but should hold:" "$expected" >&2
  exit 1
fi
grep -qx 'Tag: py3-none-win_amd64' "$work/quorvanel-$version.dist-info/WHEEL" \
  || { echo "$wheel: WHEEL names another tag" >&2; exit 1; }
grep -qx "Version: $version" "$work/quorvanel-$version.dist-info/METADATA" \
  || { echo "$wheel: METADATA names another version" >&2; exit 1; }

libs=$work/quorvanel/_libs
# shellcheck disable=SC2086
sh "$checks" "$objdump" "$libs/ifqrvnel.spi" $image_exports
# shellcheck disable=SC2086
sh "$checks" "$objdump" "$libs/axqrvnel.spi" $archive_exports
sh "$checks" "$objdump" "$libs/qrvhelper.dll" QrvEncodePicture:0 QrvFreeEncoded:0 \
  QrvResultMessage:0
