#!/usr/bin/env bash
# Builds Vellumark and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_packages

build_dir=${BUILD_DIR:-build}
cmake --preset default -B "$build_dir"
cmake --build "$build_dir" --target vellumark
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: start it under a virtual one with 'xvfb-run -a scripts/run.sh'." >&2
  exit 1
fi
exec "$build_dir/app/vellumark" "$@"
