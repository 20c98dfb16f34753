#!/bin/sh
# package_test.sh BUILD_DIR: the Debian package of a native build.
#
# Builds it with `cpack -G DEB`, checks its name, control data and exact file
# list; then, as root with dpkg (the CI machine), installs it, checks that the
# system now knows the loader and the MIME type and that gdk-pixbuf-thumbnailer
# and Qt's reader take a picture with no environment set, removes it and checks
# that everything it added is gone. A package that was already installed is
# left alone (the install part is skipped). Exits nonzero on any failure.
set -u
build=$(cd "$1" && pwd)
fail=0
work=$build/package-test
rm -rf "$work"
mkdir -p "$work"

check() {  # check DESCRIPTION COMMAND...: runs the command, reports the outcome
  what=$1
  shift
  if "$@" >"$work/last.log" 2>&1; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    sed 's/^/    /' "$work/last.log"
    fail=1
  fi
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb=$work/quorvanel_${version}_${arch}.deb
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) \
  || { cat "$work/cpack.log"; echo "FAILED: cpack -G DEB"; exit 1; }
check "package named quorvanel_${version}_${arch}.deb" test -f "$deb"
[ -f "$deb" ] || exit 1

# The exact file list, by the same relative places `cmake --install` uses.
config=$build/tests/desktop/desktop_test.json
rel() { sed -n "s/^  \"$1\": \"\(.*\)\",\$/\1/p" "$config"; }
qt6=$(sed -n 's/.*"6": \[[^,]*, "\([^"]*\)"\].*/\1/p' "$config")
qt5=$(sed -n 's/.*"5": \[[^,]*, "\([^"]*\)"\].*/\1/p' "$config")
libs=$(rel plugin_dir)
cat >"$work/expected.txt" <<LIST
./usr/$(rel bin_dir)/qrv -> ../$libs/qrv
./usr/$(rel include_dir)/qrvnel.h
./usr/$libs/axqrvnel.so
./usr/$libs/ifqrvnel.so
./usr/$libs/qrv
./usr/$(rel module_dir)/libpixbufloader-qcg.so
./usr/$qt5/imageformats/libqrvqcg.so
./usr/$qt6/imageformats/libqrvqcg.so
./usr/$(rel data_dir)/mime/packages/quorvanel.xml
./usr/$(rel data_dir)/thumbnailers/quorvanel-cg.thumbnailer
LIST
sort -o "$work/expected.txt" "$work/expected.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' \
  | sort >"$work/contents.txt"
check "package holds exactly the installed files" diff "$work/expected.txt" "$work/contents.txt"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends >"$work/control.txt"
check "control: package name" \
  grep -qx "Package: quorvanel" "$work/control.txt"
check "control: version $version" grep -qx "Version: $version" "$work/control.txt"
check "control: depends on gdk-pixbuf, Qt 6, Qt 5, shared-mime-info" sh -c \
  "grep -q 'libgdk-pixbuf-2.0-0' '$work/control.txt' && grep -q 'libqt6gui6' '$work/control.txt' \
   && grep -q 'libqt5gui5' '$work/control.txt' && grep -q 'shared-mime-info' '$work/control.txt'"
check "control: depends on libfuse 3, recommends fuse3 (qrv mount)" sh -c \
  "grep -q '^Depends:.*libfuse3-3' '$work/control.txt' \
   && grep -q '^Recommends:.*fuse3' '$work/control.txt'"
dpkg-deb -e "$deb" "$work/control"
refreshes() {  # refreshes SCRIPT: runs the loader cache and MIME database updates
  test -x "$1" && grep -q 'gdk-pixbuf-query-loaders"* --update-cache' "$1" \
    && grep -q 'update-mime-database' "$1"
}
for script in postinst postrm; do
  check "$script refreshes the loader cache and the MIME database" \
    refreshes "$work/control/$script"
done

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null 2>&1; then
  echo "skipped: installing and removing the package needs root and dpkg"
  exit $fail
fi
if dpkg-query -W -f='${Status}' quorvanel 2>/dev/null | grep -q 'installed'; then
  echo "skipped: quorvanel is already installed on this machine; left as it is"
  exit $fail
fi

"$build/qrv_desktop_pictures" "$work/pictures" >/dev/null || exit 1
picture=$work/pictures/rgb_161x97.qcg
cache=$(pkg-config --variable=gdk_pixbuf_cache_file gdk-pixbuf-2.0)
module=/usr/$(rel module_dir)/libpixbufloader-qcg.so
# Whatever happens from here on, the machine is left without the package.
trap 'dpkg -P quorvanel >/dev/null 2>&1' EXIT INT TERM
# No fsync for this round trip, in dpkg and in update-mime-database: it
# only makes a loaded CI machine wait.
export PKGSYSTEM_ENABLE_FSYNC=0

check "dpkg -i" dpkg --force-unsafe-io -i "$deb"
check "loader cache lists the module" grep -q "$module" "$cache"
check "MIME database knows *.qcg" grep -q '^[0-9]*:image/x-quorvanel-cg:\*\.qcg' /usr/share/mime/globs2
check "thumbnailer with no environment" env -i /usr/bin/gdk-pixbuf-thumbnailer -s 128 \
  "$picture" "$work/thumb.png"
check "thumbnail is a 128 x 77 PNG" sh -c "file '$work/thumb.png' | grep -q 'PNG image data, 128 x 77'"
check "system Qt 6 reads the picture" env -i QT_QPA_PLATFORM=offscreen \
  XDG_RUNTIME_DIR="$work" "$build/qrv_qt6_probe" "$work" "$picture"
check "system Qt 5 reads the picture" env -i QT_QPA_PLATFORM=offscreen \
  XDG_RUNTIME_DIR="$work" "$build/qrv_qt5_probe" "$work" "$picture"
check "Qt readers said read=ok" sh -c "test -s '$work/rgb_161x97.qcg.rgb'"
check "/usr/bin/qrv converts the picture" env -i /usr/bin/qrv convert "$picture" "$work/out.bmp"
if [ -e /dev/fuse ]; then
  mkdir "$work/mnt"
  archive=$work/pictures/archive.dat
  check "/usr/bin/qrv mounts an archive" sh -c "env -i /usr/bin/qrv mount '$archive' '$work/mnt' &&
    { /usr/bin/qrv extract '$archive' readme --stdout | cmp -s - '$work/mnt/readme'; s=\$?;
      fusermount3 -u '$work/mnt'; exit \$s; }"
fi

check "dpkg -r" dpkg --force-unsafe-io -r quorvanel
check "dpkg -P" dpkg --force-unsafe-io -P quorvanel
trap - EXIT INT TERM
check "package is gone" sh -c "! dpkg-query -W quorvanel"
check "its files are gone" sh -c "! test -e '$module' && ! test -e /usr/bin/qrv \
  && ! test -e /usr/share/thumbnailers/quorvanel-cg.thumbnailer && ! test -d /usr/$libs"
check "loader cache no longer lists the module" sh -c "! grep -q qcg '$cache'"
check "MIME database no longer knows *.qcg" sh -c "! grep -q quorvanel /usr/share/mime/globs2"
check "thumbnailer no longer takes the picture" sh -c \
  "! env -i /usr/bin/gdk-pixbuf-thumbnailer -s 128 '$picture' '$work/thumb2.png'"
exit $fail
