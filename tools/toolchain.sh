#!/usr/bin/env bash
# Provides a CPython 3.14 interpreter with headers, pytest and hypothesis, and the
# packaging and type-checking tools (pip, build, installer, scikit-build-core, auditwheel,
# mypy), rfc8785, which ruvo_gate needs at run time, and the documentation tools (Sybil,
# MkDocs with Material and mkdocstrings).
# Uses a python3.14 already on the machine when it has its headers; otherwise
# unpacks Debian's packages into .toolchain/ without touching the machine's
# own apt state. Prints the interpreter path on its last line. Idempotent.
# Usage: tools/toolchain.sh [--debug]
#   --debug: also unpacks the debug interpreter (python3.14d, built with Py_DEBUG, with
#            _testcapi) beside the unpacked release one, and prints its path instead.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
folder="$top/.toolchain"
# A link to another checkout's toolchain is that toolchain: its binaries know its real path.
[ -L "$folder" ] && folder=$(cd "$folder" && pwd -P)
root="$folder/root"
py="$root/usr/bin/python3.14"
pyd="$root/usr/bin/python3.14d"

# Every module the scripts import; a toolchain missing one is downloaded again.
modules=(pytest hypothesis pip build installer scikit_build_core auditwheel elftools mypy.main
         mypy.stubtest rfc8785 sybil mkdocs material mkdocstrings mkdocstrings_handlers.python
         aiohttp psycopg psycopg_pool opentelemetry.sdk.trace)
has_modules() {
  local IFS=,
  "$1" -c "import ${modules[*]}"
}

die() { echo "toolchain: $*" >&2; exit 1; }
say() { echo "toolchain: $*" >&2; }

debug=0
case "${1:-}" in
  "") ;;
  --debug) debug=1 ;;
  *) die "unknown option '$1' (usage: tools/toolchain.sh [--debug])" ;;
esac

has_headers() {
  "$1" - <<'PY' 2>/dev/null
import os, sys, sysconfig
ok = sys.version_info[:2] == (3, 14) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)
PY
}

# Host packages the build and the tests need (compilers and GoogleTest come with the
# machine): PostgreSQL's server and libpq for the database audit store's tests, node and npm
# for the MCP proxy's tests against the official client and servers.
need_pkgs=()
for p in patchelf libssl-dev cmake g++ libgtest-dev libbenchmark-dev ninja-build postgresql libpq5; do
  dpkg -s "$p" >/dev/null 2>&1 || need_pkgs+=("$p")
done
# node may come from another packaging than Debian's, which bundles npm: only a missing
# command is installed.
command -v node >/dev/null 2>&1 || need_pkgs+=(nodejs)
command -v npm >/dev/null 2>&1 || need_pkgs+=(npm)
if [ ${#need_pkgs[@]} -gt 0 ]; then
  say "installing ${need_pkgs[*]}"
  apt-get update -qq >&2 || die "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >&2 \
    || die "could not install ${need_pkgs[*]}"
fi

# The MCP proxy's tests drive the official MCP client and reference servers, pinned by the
# lockfile in tests/mcp; a stamp beside node_modules records the lockfile it was installed from.
mcp="$top/tests/mcp"
if [ -f "$mcp/package-lock.json" ]; then
  lock=$(sha256sum "$mcp/package-lock.json" | cut -c1-16)
  if [ "$(cat "$mcp/node_modules/.ruvo-lock" 2>/dev/null)" != "$lock" ]; then
    say "installing the MCP test packages (npm ci)"
    (cd "$mcp" && npm ci --no-audit --no-fund --loglevel=error >&2) || die "npm ci in tests/mcp failed"
    echo "$lock" > "$mcp/node_modules/.ruvo-lock"
  fi
fi

# A system interpreter with headers wins (the debug one always lives in .toolchain/, beside
# the release stdlib and pytest it runs with).
if [ "$debug" = 0 ] && command -v python3.14 >/dev/null 2>&1 && has_headers "$(command -v python3.14)" \
   && has_modules "$(command -v python3.14)" 2>/dev/null; then
  command -v python3.14
  exit 0
fi

# The debug interpreter is a build with Py_DEBUG whose headers say so, and _testcapi.
is_debug_python() {
  "$1" - <<'PY' 2>/dev/null
import os, sys, sysconfig
cfg = os.path.join(sysconfig.get_paths()["include"], "pyconfig.h")
ok = (sys.version_info[:2] == (3, 14) and hasattr(sys, "gettotalrefcount")
      and "#define Py_DEBUG 1" in open(cfg).read()
      and sysconfig.get_config_var("EXT_SUFFIX") == ".cpython-314d-x86_64-linux-gnu.so")
import _testcapi, pytest, hypothesis
sys.exit(0 if ok else 1)
PY
}

# The release toolchain's packages; the stamp records them, so a change to the list unpacks
# the toolchain again.
pkgs=(python3.14-minimal libpython3.14-minimal libpython3.14-stdlib python3.14 libpython3.14
      libpython3.14-dev python3.14-dev libc6 libssl3t64 libexpat1 libffi8 libzstd1 liblzma5
      libbz2-1.0 libsqlite3-0 libuuid1 python3-pytest python3-pluggy python3-iniconfig
      python3-packaging python3-pygments python3-hypothesis python3-sortedcontainers python3-attr
      # Packaging: pip, wheels through scikit-build-core, python -m build and installer.
      python3-pip python3-scikit-build-core python3-pyproject-metadata python3-pathspec
      python3-build python3-pyproject-hooks python3-installer
      # The manylinux repair of the wheel (it runs the host's patchelf).
      python3-auditwheel python3-pyelftools
      # Type checking; mypy does not import without librt nor run without ast-serialize.
      python3-mypy python3-mypy-extensions python3-typing-extensions python3-librt
      python3-ast-serialize
      # ruvo_gate's runtime dependency: the audit digest's canonical JSON.
      python3-rfc8785
      # ruvo_gate's optional extras: the MCP proxy's HTTP transport (aiohttp), the PostgreSQL
      # audit store (psycopg 3 over the machine's libpq) and OpenTelemetry (the SDK for tests).
      python3-aiohttp python3-yarl python3-aiohappyeyeballs python3-aiosignal python3-frozenlist
      python3-multidict python3-propcache python3-psycopg python3-psycopg-pool
      python3-opentelemetry-api python3-opentelemetry-sdk python3-opentelemetry-semantic-conventions
      # Documentation: Sybil runs its examples; MkDocs, Material and mkdocstrings build the
      # site, with everything they import.
      python3-sybil mkdocs mkdocs-material mkdocs-material-extensions mkdocs-autorefs
      mkdocs-get-deps mkdocstrings mkdocstrings-python-handlers python3-griffelib
      python3-babel python-babel-localedata ghp-import python3-click python3-colorama
      python3-jinja2 python3-markupsafe python3-markdown python3-mergedeep python3-paginate python3-platformdirs
      python3-pymdownx python3-pyyaml-env-tag python3-yaml python3-regex python3-requests
      python3-certifi python3-charset-normalizer python3-idna python3-urllib3
      python3-chardet python3-dateutil python3-defusedxml python3-livereload python3-tornado
      python3-watchdog python3-lunr python3-nltk python3-joblib python3-tqdm libjs-lunr
      libjs-jquery libjs-bootstrap5 node-popper2 fonts-font-awesome fonts-font-awesome-legacy
      fonts-lato fonts-roboto-slab sphinx-rtd-theme-common)
stamp="$folder/done"
wanted="$root $(printf '%s\n' "${pkgs[@]}" | sha256sum | cut -c1-16)"
debug_stamp="$folder/done-debug"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && [ -x "$py" ] && has_headers "$py" \
   && has_modules "$py" 2>/dev/null; then
  if [ "$debug" = 0 ]; then
    echo "$py"
    exit 0
  fi
  if [ -f "$debug_stamp" ] && [ "$(cat "$debug_stamp")" = "$root" ] && [ -x "$pyd" ] \
     && "$pyd" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
    echo "$pyd"
    exit 0
  fi
  release_done=1
else
  release_done=0
fi

# The apt source URI comes from the machine's own configuration.
uri=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
  uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
[ -n "$uri" ] || die "no Debian mirror URI found in the machine's apt sources"

mkdir -p "$folder/lists/partial" "$folder/cache/archives/partial" "$folder/debs"
suite=${TOOLCHAIN_SUITE:-testing}
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" > "$folder/sources.list"
aptopts=(-o "Dir::Etc::sourcelist=$folder/sources.list" -o "Dir::Etc::sourceparts=-"
         -o "Dir::State::Lists=$folder/lists" -o "Dir::Cache=$folder/cache"
         -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
say "updating the private package lists ($suite)"
apt-get "${aptopts[@]}" update -qq >&2 || die "apt-get update of the private sources failed"

libdir="$root/usr/lib/x86_64-linux-gnu"

# Points an unpacked executable at the unpacked glibc and its libraries.
patch_interpreter() {
  local loader="$libdir/ld-linux-x86-64.so.2"
  [ -e "$loader" ] || loader="$root/lib64/ld-linux-x86-64.so.2"
  [ -e "$loader" ] || die "the unpacked glibc loader is missing"
  patchelf --set-interpreter "$loader" --force-rpath --set-rpath "$libdir" "$1" \
    || die "patchelf failed on $1"
}

if [ "$release_done" = 0 ]; then
  rm -f "$debug_stamp"

  say "downloading ${#pkgs[@]} packages"
  (cd "$folder/debs" && apt-get "${aptopts[@]}" download "${pkgs[@]}" >&2) \
    || die "apt-get download failed (missing package in '$suite'? try TOOLCHAIN_SUITE=unstable)"

  rm -rf "$root"
  mkdir -p "$root"
  for deb in "$folder"/debs/*.deb; do
    dpkg -x "$deb" "$root" || die "could not unpack $deb"
  done
  [ -x "$py" ] || die "python3.14 missing after unpacking"
  patch_interpreter "$py"

  inc="$root/usr/include/python3.14"
  arch_cfg="$root/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h"
  [ -f "$arch_cfg" ] || die "pyconfig.h missing from the unpacked headers"
  cp "$arch_cfg" "$inc/pyconfig.h"

  has_headers "$py" || die "the unpacked python3.14 does not run or lacks its headers"
  has_modules "$py" || die "one of ${modules[*]} does not import in python3.14"
  echo "$wanted" > "$stamp"
  if [ "$debug" = 0 ]; then
    echo "$py"
    exit 0
  fi
fi

# The debug packages must be the very build of the unpacked release stdlib they run with.
version=$(for deb in "$folder"/debs/libpython3.14-stdlib_*.deb; do dpkg-deb -f "$deb" Version; done | sort -u)
[ -n "$version" ] && [ "$(wc -l <<< "$version")" = 1 ] \
  || die "cannot tell the one version of the unpacked libpython3.14-stdlib (remove .toolchain/ to start again)"
dbg_pkgs=("python3.14-dbg=$version" "libpython3.14-dbg=$version")
rm -rf "$folder/debs-debug"
mkdir -p "$folder/debs-debug"
say "downloading ${dbg_pkgs[*]}"
(cd "$folder/debs-debug" && apt-get "${aptopts[@]}" download "${dbg_pkgs[@]}" >&2) \
  || die "apt-get download of ${dbg_pkgs[*]} failed ('$suite' may have moved on: remove .toolchain/ to start again)"
incd="$root/usr/include/python3.14d"
rm -rf "$incd"  # a real folder from an earlier run would not take the packaged links
for deb in "$folder"/debs-debug/*.deb; do
  dpkg -x "$deb" "$root" || die "could not unpack $deb"
done
[ -x "$pyd" ] || die "python3.14d missing after unpacking"
patch_interpreter "$pyd"

# The packaged python3.14d/ headers are links into python3.14/, so "pyconfig.h" would be
# found next to the release headers and the module would build without Py_DEBUG: make a
# real folder that holds the debug configuration.
dbg_cfg="$root/usr/include/x86_64-linux-gnu/python3.14d/pyconfig.h"
[ -f "$dbg_cfg" ] || die "the debug pyconfig.h is missing from the unpacked headers"
rm -rf "$incd.new"
cp -rL "$incd" "$incd.new" || die "could not copy the debug headers"
cp "$dbg_cfg" "$incd.new/pyconfig.h" || die "could not copy the debug pyconfig.h"
rm -rf "$incd" && mv "$incd.new" "$incd" || die "could not put the debug headers in place"

is_debug_python "$pyd" \
  || die "the unpacked python3.14d does not run, is not a Py_DEBUG build with its headers, or lacks _testcapi, pytest or hypothesis"
echo "$root" > "$debug_stamp"
echo "$pyd"
