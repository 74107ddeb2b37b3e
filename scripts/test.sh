#!/usr/bin/env bash
# Builds Vellumark and runs every test (widget tests on Qt's offscreen platform).
# Environment: BUILD_DIR (default build), WERROR=1, SANITIZE=1.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_packages

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DVELLUMARK_WERROR=${WERROR:-OFF} \
  -DVELLUMARK_SANITIZE=${SANITIZE:-OFF}
cmake --build "$build_dir"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" --output-on-failure --timeout 300 -j2
