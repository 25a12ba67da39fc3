#!/usr/bin/env bash
# Builds the optimised benchmarks (preset "bench") and prints the speed figures as a table.
# Every figure is a ratio to a reference measured in the same run on the same input, so the
# machine's own speed cancels out; a busy machine still adds noise (see the load average).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for b in whole_process png_write png_read jpeg_lossless photo_read; do
  echo "running $b ..." >&2
  "build-bench/bench/$b" --benchmark_out="$out/$b.json" --benchmark_out_format=json >/dev/null
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)" >&2

python3 - "$out" <<'PY'
import json, os, sys

out = sys.argv[1]
rows = {}
for name in ("whole_process", "png_write", "png_read", "jpeg_lossless", "photo_read"):
    with open(os.path.join(out, name + ".json")) as f:
        for b in json.load(f)["benchmarks"]:
            rows[b["name"].split("/iterations")[0]] = b

def get(bench, counter):
    b = rows.get(bench)
    if b is None or b.get("error_occurred"):
        return None
    return b.get(counter)

def fmt(v, unit="×"):
    if isinstance(v, tuple):
        return " / ".join(fmt(x, unit) for x in v)
    return "skipped" if v is None else f"{v:.2f}{unit}"

table = [
    ("Start-up: stamp + JPEG of a 64 × 32 picture, whole process: median time vs `cjpeg` on the same file", "≤ 4×",
     get("BM_Startup", "startup_vs_cjpeg")),
    ("Stamp + JPEG q100 on every core, whole process, 24-bit: time vs `cjpeg -dct float -quality 100 -baseline`",
     "≤ 0.65×", (get("BM_Jpeg/bits:24", "vs_cjpeg"), get("BM_Jpeg/bits:24", "vs_cjpeg_cpu"))),
    ("Stamp + JPEG q100 on every core, whole process, 8-bit palette: time vs cjpeg", "≤ 0.65×",
     (get("BM_Jpeg/bits:8", "vs_cjpeg"), get("BM_Jpeg/bits:8", "vs_cjpeg_cpu"))),
    ("JPEG on every core: file size vs one thread (24-bit / 8-bit)", "< 1.005×",
     (get("BM_Jpeg/bits:24", "size_vs_one_thread"), get("BM_Jpeg/bits:8", "size_vs_one_thread"))),
    ("Stamp + PNG level 6 on every core, whole process, 24-bit: time vs `--threads 1`", "≤ 0.6×",
     (get("BM_Png6/bits:24", "vs_one_thread"), get("BM_Png6/bits:24", "vs_one_thread_cpu"))),
    ("PNG level 6 on every core: file size vs one thread, 24-bit", "≤ 1.01×",
     get("BM_Png6/bits:24", "size_vs_one_thread")),
    ("Stamp + PNG level 0, whole process, 24-bit: times faster than ImageMagick `convert`", "≥ 4×",
     (get("BM_Png0/bits:24", "speedup_vs_convert"), get("BM_Png0/bits:24", "speedup_vs_convert_cpu"))),
    ("Stamp + PNG level 0, whole process, 8-bit palette: times faster than `convert`", "≥ 4×",
     (get("BM_Png0/bits:8", "speedup_vs_convert"), get("BM_Png0/bits:8", "speedup_vs_convert_cpu"))),
    ("PNG writer level 6, in process, 24-bit: time vs zlib deflate alone", "≤ 1.03×",
     get("BM_PngWrite/bits:24/level:6", "vs_zlib")),
    ("PNG writer level 9, in process, 24-bit: time vs zlib deflate alone", "≤ 1.03×",
     get("BM_PngWrite/bits:24/level:9", "vs_zlib")),
    ("PNG writer level 6, in process, 8-bit palette: time vs zlib deflate alone", "≤ 1.03×",
     get("BM_PngWrite/bits:8/level:6", "vs_zlib")),
    ("PNG writer level 9, in process, 8-bit palette: time vs zlib deflate alone", "≤ 1.03×",
     get("BM_PngWrite/bits:8/level:9", "vs_zlib")),
    ("PNG writer level 0, in process, 24-bit: times faster than libpng", "≥ 1.5×",
     get("BM_PngWrite/bits:24/level:0", "libpng_speedup")),
    ("PNG writer level 0, in process, 8-bit palette: times faster than libpng", "≥ 1.5×",
     get("BM_PngWrite/bits:8/level:0", "libpng_speedup")),
    ("PNG reader, in process, 24-bit: time vs libpng decoding the same file", "≤ 1.0×",
     get("BM_PngRead/bits:24", "vs_libpng")),
    ("PNG reader, in process, 8-bit palette: time vs libpng decoding the same file", "≤ 1.0×",
     get("BM_PngRead/bits:8", "vs_libpng")),
    ("Camera JPEG 24 MP stamped to JPEG q100, whole process: time vs `djpeg -bmp` + `cjpeg` of its output", "≤ 1.1×",
     (get("BM_CameraJpeg", "vs_floor"), get("BM_CameraJpeg", "vs_floor_cpu"))),
    ("Camera JPEG 24 MP stamped to JPEG q100, whole process: time vs ImageMagick `convert` doing the same stamp",
     "≤ 0.5×", get("BM_CameraJpeg", "vs_convert")),
    ("Photo JPEG decode (24 MP camera-like, in process): time vs `djpeg -bmp` to a file", "≤ 1.0×",
     get("BM_PhotoJpegRead", "vs_djpeg")),
    ("`--jobs 2` on 40 pictures (on disk / in memory): times faster than `--jobs 1 --threads 1`", "≥ 1.8×",
     (get("BM_Jobs/in_memory:0", "jobs2_speedup"), get("BM_Jobs/in_memory:1", "jobs2_speedup"))),
    ("`kirimark --stamp` of a 24 MP camera JPEG kept as coded, whole process (net of start-up / gross): "
     "time vs `jpegtran -copy all`", "≤ 1.2×",
     (get("BM_LosslessProgram", "vs_jpegtran_net"), get("BM_LosslessProgram", "vs_jpegtran"))),
    ("`kirimark --stamp` of a 24 MP camera JPEG kept as coded: peak memory vs `jpegtran -copy all`", "≤ 1.5×",
     get("BM_LosslessProgram", "peak_vs_jpegtran")),
    ("Lossless JPEG stamp, 24 MP, whole process (net of start-up / gross): time vs `jpegtran -copy all`", "≤ 1.2×",
     (get("BM_LosslessProcess", "vs_jpegtran_net"), get("BM_LosslessProcess", "vs_jpegtran"))),
    ("Lossless JPEG stamp, 24 MP, in process: time vs libjpeg doing jpegtran's work", "≤ 1.2×",
     get("BM_LosslessInProcess", "vs_jpegtran")),
    ("Lossless JPEG stamp, 24 MP: peak memory vs `jpegtran -copy all`", "≤ 1.5×",
     get("BM_LosslessProcess", "peak_vs_jpegtran")),
]
for bench, what in (("BM_Jpeg/bits:24", "JPEG, 24-bit"), ("BM_Png0/bits:24", "PNG, 24-bit"),
                    ("BM_Png6/bits:24", "PNG level 6 on every core, 24-bit"),
                    ("BM_Jpeg/bits:8", "JPEG, 8-bit"), ("BM_Png0/bits:8", "PNG, 8-bit")):
    table.append((f"Peak memory, {what}: resident bytes over pixel bytes (whole / above the program's own)",
                  "≤ ~2×", (get(bench, "peak_x"), get(bench, "peak_over_base_x"))))
print("| Measure (6000 × 4000 pictures; whole-process rows: wall time / processor time) | Target | Measured |")
print("|---|---|---|")
for what, target, value in table:
    print(f"| {what} | {target} | {fmt(value)} |")
base = get("BM_Jpeg/bits:24", "base_rss_MB")
if base is not None:
    print(f"\nPeak memory includes the program's own {base:.0f} MB (libraries, fonts) that any picture costs.")
PY
