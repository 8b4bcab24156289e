#!/usr/bin/env bash
# Builds everything, then runs the C++ tests (ctest) and the Python tests (pytest), the
# Python blocks of README.md and docs/ among them.
# Usage: tools/test.sh [--sanitize | --debug-python]
#   --sanitize:     ASan+UBSan build, suite run under it
#   --debug-python: module built against the debug interpreter, Python suite run under
#                   python3.14d -X dev (reference-leak and allocation-failure checks run too)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--debug-python" ]; then
  py=$("$top/tools/toolchain.sh" --debug | tail -n 1)
else
  py=$("$top/tools/toolchain.sh" | tail -n 1)
fi
dir=$("$top/tools/build.sh" "$@" | tail -n 1)

# The debug pass checks the binding layer only; the C++ tests do not change with the interpreter.
if [ "${1:-}" != "--debug-python" ]; then
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
fi

# The module from the build, ruvo_gate from the source tree.
export PYTHONPATH="$dir/python:$top/python"
if [ "${1:-}" = "--sanitize" ]; then
  # The interpreter is not instrumented: preload the runtime and let it see every allocation.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 RUVO_SANITIZED=1 \
    "$py" -m pytest "$top/tests/python" "$top/README.md" "$top/docs" -q -rs -p no:cacheprovider
else
  "$py" -X dev -m pytest "$top/tests/python" "$top/README.md" "$top/docs" -q -rs -p no:cacheprovider
fi
