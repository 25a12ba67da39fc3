#!/usr/bin/env bash
# Installs what is needed, builds the program, and stamps the sample picture shipped in data/:
# a copy goes to ./kirimark-demo/, and the stamped JPEG is written beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kirimark -j"$(nproc)"

demo="$PWD/kirimark-demo"
rm -rf "$demo"
mkdir -p "$demo"
cp data/sample.bmp "$demo/sample.bmp"
build/src/app/kirimark --stamp "$demo/sample.bmp"
echo
echo "Stamped picture: $demo/sample.jpg"
echo "Open the window with: build/src/app/kirimark   (then drop .bmp files on it)"
