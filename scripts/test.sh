#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite.
# KIRIMARK_WERROR=ON treats compiler warnings as errors (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default -DKIRIMARK_WERROR="${KIRIMARK_WERROR:-OFF}" >/dev/null
cmake --build --preset default -j"$(nproc)"
ctest --preset default
