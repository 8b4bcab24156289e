#!/usr/bin/env bash
# Builds the documentation site into build-docs/site with MkDocs, strictly: a broken link,
# a missing page or a reference that does not resolve fails the build.
# Usage: tools/docs.sh [serve]   (serve: builds and serves it on http://127.0.0.1:8000)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)
cd "$top"
case "${1:-build}" in
  build) exec "$py" -m mkdocs build --strict ;;
  serve) exec "$py" -m mkdocs serve --strict ;;
  *) echo "docs: unknown command '$1' (usage: tools/docs.sh [serve])" >&2; exit 1 ;;
esac
