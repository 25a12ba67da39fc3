#!/usr/bin/env bash
# Builds the program and makes the Debian package build/kirimark_<version>_<arch>.deb from it.
# Install it with: sudo apt-get install ./build/kirimark_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kirimark -j"$(nproc)"
(cd build && cpack -G DEB >/dev/null)
ls build/kirimark_*.deb
