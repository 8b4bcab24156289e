#!/usr/bin/env bash
# Builds the documentation site and takes screenshots of every page at 1280 px and 390 px
# into build-docs/screenshots/, for looking at the site as a reader does (not for pixel
# comparison). Installs Debian's chromium first if it is missing.
# Usage: tools/screenshots.sh [PAGE...]   (PAGE: "gating", "reference/ruvo_gate", ...; default all)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)
if ! command -v chromium >/dev/null; then
  apt-get install -y --no-install-recommends chromium >&2
fi
"$top/tools/docs.sh" >&2
exec "$py" "$top/tools/screenshots.py" "$top/build-docs/site" "$top/build-docs/screenshots" \
  "$(command -v chromium)" "$@"
