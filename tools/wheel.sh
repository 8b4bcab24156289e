#!/usr/bin/env bash
# Builds the portable wheel: the module is linked with RUVO_PORTABLE (libstdc++ and
# libcrypto inside it, only its init function exported), then auditwheel gives the wheel the
# manylinux tag of the oldest glibc its symbols allow.
# Usage: tools/wheel.sh [OUTDIR [SOURCE]]
#   OUTDIR: where the repaired wheel goes (default: dist/ of this checkout)
#   SOURCE: the tree to build (default: this checkout)
# Prints the repaired wheel's path on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "wheel: $*" >&2; exit 1; }
py=$("$top/tools/toolchain.sh" | tail -n 1)
out=$(mkdir -p "${1:-$top/dist}" && cd "${1:-$top/dist}" && pwd)
tree=$(cd "${2:-$top}" && pwd)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Build isolation would download the build requirements: the toolchain has them.
"$py" -m build --no-isolation --wheel -Ccmake.define.RUVO_PORTABLE=ON --outdir "$work/built" \
  "$tree" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; die "wheel build failed"; }
built=("$work"/built/*.whl)
[ ${#built[@]} = 1 ] && [ -f "${built[0]}" ] || die "expected one wheel, found: $(ls "$work/built")"

"$py" -m auditwheel repair --wheel-dir "$work/repaired" "${built[0]}" >"$work/repair.log" 2>&1 \
  || { cat "$work/repair.log" >&2; die "auditwheel repair failed"; }
repaired=("$work"/repaired/*.whl)
[ ${#repaired[@]} = 1 ] && [ -f "${repaired[0]}" ] || die "expected one repaired wheel, found: $(ls "$work/repaired")"
case "${repaired[0]##*/}" in
  *-manylinux_*_x86_64.whl) ;;
  *) die "the repaired wheel has no manylinux tag: ${repaired[0]##*/}" ;;
esac

cp "${repaired[0]}" "$out/"
echo "$out/${repaired[0]##*/}"
