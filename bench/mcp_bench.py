"""What the MCP proxy costs: the official SDK client calls server-everything's `echo`
directly and through `ruvo-gate mcp` over stdio.

  direct          the client and the server, nothing between
  audit never     through the proxy, audit log with --audit-sync never
  audit always    through the proxy, every audit record fsynced
  no audit        through the proxy, no audit log
  relay floor     through bench/relay_floor.py, a bare asyncio line relay: the least any
                  relay in Python costs here

Targets: the proxy's p50 at most 2x direct, its calls per second at least 1/3 of direct.
On the shared 2-core development machine the relay floor alone is about 2.7x direct's p50
and 0.6-0.7x its throughput; docs/performance.md has the figures and what each step of a
proxied call costs.

All five are connected at once and measured in interleaved rounds: in each round every
configuration makes `--calls` sequential calls (round trips: p50, p99) and then runs
`--callers` concurrent callers for `--seconds` (calls per second; the median of the rounds).

Run with: tools/run-example.sh bench/mcp_bench.py [--rounds N] [--calls N] [--callers N]
          [--seconds S]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

MCP = Path(__file__).resolve().parents[1] / "tests" / "mcp"
SERVER = [str(MCP / "node_modules" / ".bin" / "mcp-server-everything"), "stdio"]
POLICY = '[adapter]\nbudget_limit = 1e300\nrate_limit = 1e300\n[[tools]]\nname = "echo"\n'


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=400)
    parser.add_argument("--callers", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    if shutil.which("node") is None or not Path(SERVER[0]).exists():
        sys.exit("mcp_bench: node and tests/mcp/node_modules are needed (tools/toolchain.sh)")

    with tempfile.TemporaryDirectory() as folder:
        policy = Path(folder) / "policy.toml"
        policy.write_text(POLICY)
        proxy = [sys.executable, "-m", "ruvo_gate", "mcp", "--policy", str(policy)]
        targets = {
            "direct": SERVER,
            "audit never": [*proxy, "--audit", f"{folder}/never.jsonl", "--audit-sync",
                            "never", "--", *SERVER],
            "audit always": [*proxy, "--audit", f"{folder}/always.jsonl", "--", *SERVER],
            "no audit": [*proxy, "--", *SERVER],
            "relay floor": [sys.executable, str(Path(__file__).with_name("relay_floor.py")),
                            *SERVER],
        }
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
        setup = {"rounds": args.rounds, "calls": args.calls, "callers": args.callers,
                 "seconds": args.seconds, "targets": targets}
        done = subprocess.run(["node", str(MCP / "bench_client.mjs"), json.dumps(setup)],
                              cwd=MCP, env=env, capture_output=True, text=True, check=True,
                              timeout=600)
        figures = json.loads(done.stdout)
        for name in ("never", "always"):
            check = subprocess.run([sys.executable, "-m", "ruvo_gate", "verify",
                                    f"{folder}/{name}.jsonl"], capture_output=True, text=True)
            print(check.stdout.strip().replace(folder + "/", ""))

    print(f"{args.rounds} interleaved rounds; {args.calls} sequential calls and "
          f"{args.callers} callers for {args.seconds:g} s per round and configuration")
    direct = figures["direct"]
    base_p50 = statistics.median(direct["latencies_ms"])
    base_rate = statistics.median(direct["calls_per_s"])
    print(f"{'':14} {'p50 ms':>8} {'p99 ms':>8} {'calls/s':>9} {'p50 x':>7} {'rate x':>7}")
    for label, measured in figures.items():
        p50 = statistics.median(measured["latencies_ms"])
        p99 = percentile(measured["latencies_ms"], 0.99)
        rate = statistics.median(measured["calls_per_s"])
        print(f"{label:14} {p50:8.3f} {p99:8.3f} {rate:9.0f} {p50 / base_p50:7.2f} "
              f"{rate / base_rate:7.2f}")


if __name__ == "__main__":
    main()
