#!/usr/bin/env bash
# Configures and builds everything against the project's CPython 3.14.
# Usage: tools/build.sh [--sanitize]; prints the build folder on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)
dir="$top/build"
flags=(-DRUVO_SANITIZE=OFF)
if [ "${1:-}" = "--sanitize" ]; then
  dir="$top/build-sanitize"
  flags=(-DRUVO_SANITIZE=ON)
fi
cmake -S "$top" -B "$dir" -DPython3_EXECUTABLE="$py" "${flags[@]}" ${RUVO_CMAKE_FLAGS:-} >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
