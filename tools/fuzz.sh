#!/usr/bin/env bash
# Builds the kernel's libFuzzer targets, replays their regression inputs and seeds, then fuzzes
# each for a bounded time. A crash's input is kept in tests/fuzz/regressions/<target>/.
# Usage: tools/fuzz.sh [target...]; RUVO_FUZZ_SECONDS sets the time per target (default 20).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build-fuzz"
seconds=${RUVO_FUZZ_SECONDS:-20}

say() { echo "fuzz: $*" >&2; }

# clang with its libFuzzer runtime; the rest of the build's needs come with tools/toolchain.sh.
need_pkgs=()
for p in clang libclang-rt-14-dev libssl-dev cmake; do
  dpkg -s "$p" >/dev/null 2>&1 || need_pkgs+=("$p")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  say "installing ${need_pkgs[*]}"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >&2
fi

cmake -S "$top" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DRUVO_FUZZ=ON >&2
cmake --build "$dir" -j "$(nproc)" >&2

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$top"/tests/fuzz/*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
for t in "${targets[@]}"; do
  bin="$dir/fuzz_$t"
  corpus="$top/tests/fuzz/corpus/$t"
  regressions="$top/tests/fuzz/regressions/$t"
  mkdir -p "$regressions"
  [ -x "$bin" ] || { say "no target $t"; exit 1; }

  # Known inputs first: every one must pass, and none is written back.
  inputs=()
  for f in "$regressions"/* "$corpus"/*; do
    [ -f "$f" ] && [ "$(basename "$f")" != .gitkeep ] && inputs+=("$f")
  done
  if [ ${#inputs[@]} -gt 0 ] && ! "$bin" "${inputs[@]}" >"$work/$t.replay.log" 2>&1; then
    cat "$work/$t.replay.log" >&2
    say "$t: a regression or seed input fails"
    failed=$((failed + 1))
    continue
  fi

  # Then new inputs, grown from a copy of the seeds so the checked-in corpus stays as it is.
  mkdir -p "$work/$t"
  cp -r "$corpus"/. "$work/$t"/ 2>/dev/null || true
  say "$t: fuzzing for ${seconds}s"
  if "$bin" "$work/$t" -max_total_time="$seconds" -artifact_prefix="$regressions/" \
      -print_final_stats=1 >"$work/$t.log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$work/$t.log" | sed "s/^/fuzz: $t: /" >&2 || true
    passed=$((passed + 1))
  else
    tail -n 60 "$work/$t.log" >&2
    say "$t: failure; its input is kept in ${regressions#"$top"/}/"
    failed=$((failed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
