#!/usr/bin/env bash
# Configures and builds everything against the project's CPython 3.14.
# Usage: tools/build.sh [--sanitize | --debug-python]; prints the build folder on its last line.
#   --debug-python: only the module, built against the debug interpreter (Py_DEBUG), in
#                   build-debug/; fails unless the result really is a debug build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "build: $*" >&2; exit 1; }
dir="$top/build"
flags=(-DRUVO_SANITIZE=OFF)
case "${1:-}" in
  "")
    py=$("$top/tools/toolchain.sh" | tail -n 1)
    ;;
  --sanitize)
    py=$("$top/tools/toolchain.sh" | tail -n 1)
    dir="$top/build-sanitize"
    flags=(-DRUVO_SANITIZE=ON)
    ;;
  --debug-python)
    py=$("$top/tools/toolchain.sh" --debug | tail -n 1)
    dir="$top/build-debug"
    # FindPython3 is handed the debug headers, so it cannot settle on the release ones.
    include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    flags=(-DRUVO_SANITIZE=OFF -DRUVO_TESTS=OFF -DPython3_INCLUDE_DIR="$include")
    ;;
  *) die "unknown option '$1' (usage: tools/build.sh [--sanitize | --debug-python])" ;;
esac
cmake -S "$top" -B "$dir" -DPython3_EXECUTABLE="$py" "${flags[@]}" ${RUVO_CMAKE_FLAGS:-} >&2
cmake --build "$dir" -j "$(nproc)" >&2

if [ "${1:-}" = "--debug-python" ]; then
  # A module compiled without Py_DEBUG still loads in the debug interpreter, only blind to
  # reference counts: require the debug suffix and the debug build's reference accounting.
  module="$dir/python/ruvo_safety.cpython-314d-x86_64-linux-gnu.so"
  [ -f "$module" ] || die "$module was not built (FindPython3 chose another interpreter?)"
  symbols=$(nm -D "$module") || die "nm -D failed on $module"
  grep -qw _Py_INCREF_IncRefTotal <<< "$symbols" \
    || die "$module does not reference _Py_INCREF_IncRefTotal: it was built without Py_DEBUG"
fi
echo "$dir"
