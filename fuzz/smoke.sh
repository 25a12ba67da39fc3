#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang) and runs each for a short while, seeded from
# ../shared/testdata when present and from inputs our own writers make. Fails on any crash,
# leak, timeout or sanitizer report. KIRIMARK_FUZZ_SECONDS sets the time per target (60).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KIRIMARK_FUZZ_SECONDS:-60}"
build=build-fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target fuzz_bmp_read fuzz_png_read fuzz_ini_parse \
  fuzz_protect_decrypt fuzz_png_roundtrip fuzz_photo_jpeg fuzz_photo_png fuzz_photo_tiff fuzz_photo_webp \
  fuzz_photo_heif fuzz_make_seeds

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" "$build/fuzz/fuzz_make_seeds" "$work/seeds"
testdata=../shared/testdata
[ -d "$testdata" ] || { echo "fuzz: $testdata not found; seeding from our own files only"; testdata=; }

seeds_for() {
  case "$1" in
    bmp_read) [ -n "$testdata" ] && echo "$testdata/bmpsuite/g $testdata/bmpsuite/q $testdata/bmpsuite/b" ;;
    png_read) echo "$work/seeds/png_read ${testdata:+$testdata/pngsuite}" ;;
    ini_parse | protect_decrypt | photo_jpeg | photo_tiff | photo_webp | photo_heif) echo "$work/seeds/$1" ;;
    photo_png) echo "$work/seeds/photo_png ${testdata:+$testdata/pngsuite}" ;;
  esac
  [ -d "fuzz/regressions/$1" ] && echo "fuzz/regressions/$1"
  return 0
}

status=0
for target in bmp_read png_read ini_parse protect_decrypt png_roundtrip photo_jpeg photo_png photo_tiff photo_webp \
  photo_heif; do
  mkdir -p "$work/corpus/$target" "$work/crashes/$target"
  # shellcheck disable=SC2046  # seed folders are plain paths without blanks
  if ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
     "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/crashes/$target/" \
       "$work/corpus/$target" $(seeds_for "$target") >"$work/$target.log" 2>&1; then
    echo "fuzz $target: ok, $(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/$target.log" | grep -Eo '[0-9]+$') runs, corpus $(ls "$work/corpus/$target" | wc -l) new inputs"
  else
    status=1
    echo "fuzz $target: FAILED"
    tail -n 60 "$work/$target.log"
    for crash in "$work/crashes/$target"/*; do
      [ -f "$crash" ] && { echo "input ($crash):"; base64 "$crash" | head -c 4000; echo; }
    done
  fi
done
exit "$status"
