#!/usr/bin/env python3
"""Times pairs of shell commands alternately and prints the comparison table.

Reads a JSON plan on standard input:
  {"pairs": N, "rows": [{"work": ..., "ours": cmd, "ref": cmd, "prep": cmd,
                         "scale": s, "bar": b}, ...],
   "rss": [{"command": ..., "small": cmd, "large": cmd}, ...]}

For each row, after one untimed warm-up of each side and one run of ours under
/usr/bin/time for its peak resident memory, it runs ours, ref, ours, ref, ...
N times each; `prep` runs untimed before every run (it removes the previous outputs and
flushes dirty pages, so no run pays for another's write-back). The ratio of a pair is
scale * t(ours) / t(ref); the row passes when the median ratio is at most the bar.
Peak resident memory comes from /usr/bin/time -f %M; a row with "mapped": true
maps a file whole (a delta's base), whose pages count as resident, so its peak
is printed but not held to the bar.
"""
import json
import statistics
import subprocess
import sys
import tempfile
import time

RSS_LIMIT_KIB = 16 * 1024
# Peak RSS may differ by a few pages between runs; more than this counts as growth.
RSS_GROWTH_SLACK_KIB = 256


def run(cmd):
    result = subprocess.run(["bash", "-c", cmd], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: command failed ({result.returncode}): {cmd}\n{result.stderr}")


def timed(cmd, prep):
    run(prep)
    start = time.perf_counter()
    run(cmd)
    return time.perf_counter() - start


def measure(row, pairs):
    prep = row.get("prep", "true")
    timed(row["ours"], prep)
    timed(row["ref"], prep)
    ours, ref, ratios = [], [], []
    for _ in range(pairs):
        a = timed(row["ours"], prep)
        b = timed(row["ref"], prep)
        ours.append(a)
        ref.append(b)
        ratios.append(row.get("scale", 1.0) * a / b)
    return statistics.median(ours), statistics.median(ref), statistics.median(ratios)


def peak_rss_kib(cmd, prep):
    """`cmd` is `PROGRAM ARGS...`, perhaps behind `cd DIR && ` or `cat FILE | `; time wraps
    the program."""
    where, _, program = cmd.rpartition("&& ")
    if program.startswith("cat ") and " | " in program:
        feed, _, program = program.partition(" | ")
        where += feed + " | "
    elif where:
        where += "&& "
    with tempfile.NamedTemporaryFile("r") as out:
        run(prep)
        run(f"{where}/usr/bin/time -f %M -o {out.name} {program}")
        return int(out.read().split()[-1])


def main():
    plan = json.load(sys.stdin)
    pairs = plan["pairs"]
    print(f"{'work':<66} {'ours':>9} {'reference':>10} {'ratio':>7} {'bar':>6} {'peak':>9}"
          "  result")
    all_ok = True
    for row in plan["rows"]:
        peak = peak_rss_kib(row["ours"], row.get("prep", "true"))
        ours, ref, ratio = measure(row, pairs)
        ok = ratio <= row["bar"] and (peak < RSS_LIMIT_KIB or row.get("mapped", False))
        all_ok &= ok
        print(f"{row['work']:<66} {ours * 1000:7.1f}ms {ref * 1000:8.1f}ms "
              f"{ratio:7.2f} {row['bar']:6.2f} {peak / 1024:6.2f}MiB  {'ok' if ok else 'MISS'}",
              flush=True)
    print()
    print(f"{'peak resident memory':<44} {'small':>10} {'large':>10}  {'bar':<22} result")
    for item in plan["rss"]:
        small = peak_rss_kib(item["small"], item.get("prep", "true"))
        large = peak_rss_kib(item["large"], item.get("prep", "true"))
        grows = item.get("flat", True) and large > small + RSS_GROWTH_SLACK_KIB
        ok = small < RSS_LIMIT_KIB and large < RSS_LIMIT_KIB and not grows
        all_ok &= ok
        bar = "< 16 MiB, not growing" if item.get("flat", True) else "< 16 MiB"
        print(f"{item['command']:<44} {small / 1024:7.2f}MiB {large / 1024:7.2f}MiB  "
              f"{bar:<22} {'ok' if ok else 'MISS'}", flush=True)
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
