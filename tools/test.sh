#!/usr/bin/env bash
# Builds everything, then runs the C++ tests (ctest) and the Python tests (pytest).
# Usage: tools/test.sh [--sanitize]   (--sanitize: ASan+UBSan build, suite run under it)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)
dir=$("$top/tools/build.sh" "$@" | tail -n 1)

ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"

export PYTHONPATH="$dir/python"
if [ "${1:-}" = "--sanitize" ]; then
  # The interpreter is not instrumented: preload the runtime and let it see every allocation.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 RUVO_SANITIZED=1 \
    "$py" -m pytest "$top/tests/python" -q -p no:cacheprovider
else
  "$py" -X dev -m pytest "$top/tests/python" -q -p no:cacheprovider
fi
