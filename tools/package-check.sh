#!/usr/bin/env bash
# Packaging pass, on a fresh copy of the tree (tracked and new files, nothing ignored):
# builds the sdist and the portable wheel (tools/wheel.sh: built, then repaired by
# auditwheel), audits the wheel, installs it into new venvs with pip and with installer,
# runs the Python tests against the installed module and ruvo_gate from a folder outside the
# tree, then stubtest, strict mypy over ruvo_gate, the examples and the type tests, and the
# examples themselves (the agent's audit trail checked by `ruvo-gate verify`), and
# last the install commands the README shows, run as written (tools/check-commands.py).
# The repaired wheel is left in dist/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
py=$("$top/tools/toolchain.sh" | tail -n 1)

version=0.1.0
# The platform tag is the one auditwheel finds: manylinux, never linux_x86_64.
wheel_pattern="ruvo_safety-$version-cp314-cp314-manylinux_*_x86_64.whl"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/src" outside="$work/outside" venv="$work/venv"
mkdir -p "$src" "$outside"
unset PYTHONPATH
export MYPY_CACHE_DIR="$work/mypy-cache"
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

start=$SECONDS
step() { echo "package-check: [$((SECONDS - start))s] $*"; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

step "copying the tree"
(cd "$top" && git ls-files -z --cached --others --exclude-standard \
   | tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$src"

# The interpreter's own pip refuses to install outside a venv (externally managed), and
# its venv module has no pip to seed: the venv borrows the interpreter's packages.
"$py" -m venv --without-pip --system-site-packages "$venv"
vpy="$venv/bin/python"

step "building the sdist and the wheel"
"$vpy" -m build --no-isolation --sdist --outdir "$work/dist" "$src" >"$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log"; fail "sdist build"; }
"$top/tools/wheel.sh" "$work/dist" "$src" >"$work/wheel.log" 2>&1 \
  || { cat "$work/wheel.log"; fail "wheel build"; }
wheel=$(tail -n 1 "$work/wheel.log")
wheel_name=${wheel##*/}
[[ $wheel_name == $wheel_pattern ]] && [ -f "$wheel" ] || fail "no $wheel_pattern in: $(ls "$work/dist")"

(cd "$src" && find . -type f -printf '%P\n') >"$work/tree.txt"
"$vpy" - "$wheel" "$work/dist/ruvo_safety-$version.tar.gz" "$work/tree.txt" <<'PY'
import sys, tarfile, zipfile

wheel, sdist, tree = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
extra = [n for n in names if n.split("/")[0] not in (
    "ruvo_safety.cpython-314-x86_64-linux-gnu.so", "ruvo_safety-stubs", "ruvo_gate",
    "ruvo_safety-0.1.0.dist-info")]
assert not extra, f"the wheel holds more than the module, its stubs and ruvo_gate: {extra}"
for wanted in ("ruvo_safety-stubs/__init__.pyi", "ruvo_gate/__init__.py", "ruvo_gate/py.typed"):
    assert wanted in names, (wanted, names)
assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")], names

with tarfile.open(sdist) as t:
    packed = {m.name.split("/", 1)[1] for m in t.getmembers() if m.isfile()}
wanted = set(open(tree).read().split("\n")) - {""}
missing, more = sorted(wanted - packed), sorted(packed - wanted - {"PKG-INFO"})
assert not missing and not more, f"sdist lacks {missing}, adds {more}"
PY

step "auditwheel show: the wheel's own manylinux tag, no library from outside its policy"
tag=${wheel_name%.whl}
tag=${tag##*-}
# -v for the list of needed libraries, which it leaves out otherwise; its log goes to stderr.
shown=$("$vpy" -m auditwheel -v show "$wheel" 2>"$work/show.log") \
  || { cat "$work/show.log"; fail "auditwheel show"; }
shown=$(tr -s '[:space:]' ' ' <<< "$shown")
[[ $shown == *"consistent with the following platform tag: \"$tag\""* ]] \
  || { echo "$shown"; fail "auditwheel does not find the wheel consistent with $tag"; }
[[ $shown == *"requires no external shared libraries"* ]] \
  || { echo "$shown"; fail "the wheel needs shared libraries from outside the manylinux policy"; }

step "the module: exports its init function only, needs neither libstdc++ nor libcrypto"
"$vpy" -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); z.extract(sys.argv[2], sys.argv[3])' \
  "$wheel" ruvo_safety.cpython-314-x86_64-linux-gnu.so "$work/module"
module="$work/module/ruvo_safety.cpython-314-x86_64-linux-gnu.so"
exported=$(nm -D --defined-only "$module" | awk '{print $NF}')
[ "$exported" = PyInit_ruvo_safety ] || fail "the module exports more than PyInit_ruvo_safety: $exported"
needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[[ ! $needed =~ libstdc\+\+|libcrypto ]] || fail "the module needs: $needed"

step "installing with pip and with installer"
"$vpy" -m pip install --no-index --no-deps --quiet "$wheel"
"$py" -m venv --without-pip --system-site-packages "$work/venv-installer"
"$work/venv-installer/bin/python" -m installer "$wheel"

cd "$outside"
for p in "$vpy" "$work/venv-installer/bin/python"; do
  "$p" -P - "$(dirname "$(dirname "$p")")" "$version" <<'PY'
import importlib.metadata, pathlib, sys
import ruvo_gate, ruvo_safety

venv, version = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2]
for module in (ruvo_safety, ruvo_gate):
    assert pathlib.Path(module.__file__).resolve().is_relative_to(venv), module.__file__
assert importlib.metadata.requires("ruvo-safety") == [
    "rfc8785>=0.1.4", 'aiohttp>=3.9; extra == "mcp"', 'psycopg>=3.1; extra == "postgres"',
    'opentelemetry-api>=1.20; extra == "otel"'], importlib.metadata.requires("ruvo-safety")
assert importlib.metadata.version("ruvo-safety") == version
assert ruvo_safety.certify_action(ruvo_safety.AgenticAdapter()).decision == "Certified"
PY
done

step "Python tests against the installed module"
# The MCP proxy's tests drive the official client and servers that tools/toolchain.sh
# installed beside the tree's own tests; the copy holds no node_modules of its own.
ln -s "$top/tests/mcp/node_modules" "$src/tests/mcp/node_modules"
# -P and importlib mode: nothing from the tree lands on sys.path.
"$vpy" -X dev -P -m pytest "$src/tests/python" "$src/README.md" "$src/docs" -q -rs -p no:cacheprovider \
  --import-mode=importlib

step "stubtest"
"$vpy" -P -m mypy.stubtest ruvo_safety

step "mypy --strict over ruvo_gate as installed, the examples and the type tests"
"$vpy" -P -m mypy --strict -p ruvo_gate
"$vpy" -P -m mypy --strict --exclude '/fail_[^/]*\.py$' "$src/examples" "$src/tests/typing"
"$vpy" -P "$src/tests/typing/expect_errors.py" "$src"/tests/typing/fail_*.py
for typed in "$src"/tests/typing/pass_*.py; do
  "$vpy" -X dev -P "$typed"
done

step "examples"
for example in "$src"/examples/*.py; do
  "$vpy" -P "$example" "$work/audit.jsonl" </dev/null >"$work/example.log" 2>&1 \
    || { cat "$work/example.log"; fail "examples/${example##*/}"; }
done
# The agent's audit trail: intact, by the command an auditor runs, and every outcome in it.
# ... by the console script the wheel installs, and by the module's entry point alike.
"$venv/bin/ruvo-gate" verify "$work/audit.jsonl"
"$vpy" -P -m ruvo_gate verify "$work/audit.jsonl" >/dev/null
"$vpy" -P - "$work/audit.jsonl" <<'PY'
import json, sys

records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
outcomes = {r["outcome"] for r in records if r["kind"] == "decision"}
assert outcomes == {"Certified", "CertifiedWithWarning", "EscalateToHuman", "Blocked"}, outcomes
PY

step "the install commands of the README, as written, each in a fresh copy of the tree"
"$py" "$top/tools/check-commands.py" || fail "a marked shell block of the documentation"

step "the repaired wheel: dist/$wheel_name"
mkdir -p "$top/dist" && cp "$wheel" "$top/dist/"

step "green"
