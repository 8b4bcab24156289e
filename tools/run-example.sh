#!/usr/bin/env bash
# Builds the module and runs an example script with it (default: examples/main.py);
# further arguments go to the script.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)
dir=$("$top/tools/build.sh" | tail -n 1)
PYTHONPATH="$dir/python:$top/python" exec "$py" "$top/${1:-examples/main.py}" "${@:2}"
