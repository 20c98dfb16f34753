#!/bin/sh
# run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]
# Runs each fuzz target of a `fuzz` preset build for SECONDS, one after the
# other (one process at a time), on its generated seeds, the checked-in corpus
# and the inputs earlier runs found (kept in BUILD_DIR/corpus/TARGET). Exits
# nonzero when any target reports a finding; its input is left in
# BUILD_DIR/findings/. Prints the executions of each target.
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/../corpus
targets=${*:-"image_is_supported image_info_memory image_info_file image_picture_memory
  image_picture_file archive_is_supported archive_info_memory archive_file_info
  archive_get_file_memory archive_get_file_file roundtrip_picture roundtrip_archive
  wic_picture"}
# Built where gdk-pixbuf is installed.
if [ $# -eq 0 ] && [ -x "$build/fuzz_pixbuf_loader" ]; then
  targets="$targets pixbuf_loader"
fi

"$build/fuzz_seeds" "$build/seeds" || exit 1
mkdir -p "$build/findings"
failed=""
total=0
for target in $targets; do
  case $target in
    image_*|roundtrip_picture|pixbuf_loader|wic_picture) dict=$here/image.dict ;;
    *) dict=$here/archive.dict ;;
  esac
  # The raw targets also start from the malformed corpus.
  extra=""
  case $target in
    image_is_supported|image_info_memory) extra=$corpus/image ;;
    archive_is_supported|archive_info_memory) extra=$corpus/archive ;;
  esac
  [ -d "$corpus/crashers/$target" ] && extra="$extra $corpus/crashers/$target"
  mkdir -p "$build/corpus/$target"
  log=$build/findings/$target.log
  # shellcheck disable=SC2086
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -dict="$dict" \
    -artifact_prefix="$build/findings/$target-" \
    "$build/corpus/$target" "$build/seeds/$target" $extra >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ $rc -ne 0 ]; then
    failed="$failed $target"
    echo "$target: FINDING after $runs executions (see $log)"
    grep -m 5 -e 'ERROR' -e 'fuzz check failed' -e 'runtime error' "$log"
  else
    echo "$target: $runs executions in ${seconds}s, no finding"
  fi
done
echo "fuzz: $total executions in total"
[ -z "$failed" ] || { echo "fuzz findings:$failed"; exit 1; }
