#!/usr/bin/env python3
"""Delta packages against xdelta3, on pairs of old and new images.

    bench/deltas.py RUNS FWKIT PKGSTAMP PKGCHECK WORKDIR OLD NEW [OLD NEW]...

For each pair: the new image is stamped as a package; then, RUNS times each and
alternately, ours makes the delta (fwkit delta --base OLD) and xdelta3 -9 -e -s
makes its own; ours applies it (pkgcheck --base OLD -o, which checks the base,
rebuilds the image, checks its MD5 and SHA-256 and syncs it) and xdelta3 -d -s
applies its own; the sync of what xdelta3 wrote counts in its time, as ours
syncs what it puts in place before it exits.
Printed: the delta sizes, the median times, and peak memory of each command:
resident (file-backed pages of the mapped base included) and anonymous (RssAnon,
polled from /proc/PID/status every millisecond), in MiB. Bars: our delta at most
xdelta3's size, our times at most xdelta3's, our anonymous memory to apply under
64 MiB plus the frame size (32 MiB).
"""
import os
import statistics
import subprocess
import sys
import time

FRAME_MIB = 32
APPLY_ANON_BAR_KIB = (64 + FRAME_MIB) * 1024


def status_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(args, poll):
    """Runs args; returns (seconds, peak RSS KiB, peak anonymous KiB). Timed runs
    are not polled (the poller would take processor time from a command that
    uses both cores): their peak RSS comes from wait4; a polled run, untimed,
    gives the anonymous peak."""
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    anon = 0
    if poll:
        while child.poll() is None:
            anon = max(anon, status_kib(child.pid, "RssAnon"))
            time.sleep(0.001)
    _, status, usage = os.wait4(child.pid, 0) if child.returncode is None else (0, 0, None)
    seconds = time.perf_counter() - start
    code = child.returncode if child.returncode is not None else os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"deltas: failed ({code}): {' '.join(args)}\n"
                 f"{child.stderr.read().decode()}")
    return seconds, usage.ru_maxrss if usage is not None else 0, anon


def sync(path):
    """Syncs what xdelta3 wrote, as every writer of ours does before it exits;
    returns the seconds it took, which count as xdelta3's."""
    start = time.perf_counter()
    subprocess.run(["sync", path], check=True)
    return time.perf_counter() - start


def row(label, ours, ref, bar_time=True):
    ok = ours[0] <= ref[0] if bar_time else True
    print(f"  {label:<8} ours {ours[0]:7.2f}s {ours[1] / 1024:7.1f}MiB rss {ours[2] / 1024:6.1f}MiB anon"
          f"   xdelta3 {ref[0]:7.2f}s {ref[1] / 1024:7.1f}MiB rss {ref[2] / 1024:6.1f}MiB anon"
          f"   {'ok' if ok else 'MISS'}")
    return ok


def median_run(commands, runs, after=None, outputs=()):
    """Alternates the commands RUNS times; the median time and the peak memory of each.
    Before each run the command's output (outputs[index]) is removed and dirty
    pages flushed, untimed, as
    bench/run does: freeing a file's blocks (a discard, on some disks) then costs
    neither side."""
    results = [[] for _ in commands]
    for _ in range(runs):
        for index, command in enumerate(commands):
            if outputs and os.path.exists(outputs[index]):
                os.unlink(outputs[index])
            subprocess.run(["sync"], check=True)
            seconds, rss, _ = measure(command, poll=False)
            if after is not None:
                seconds += after(index)
            results[index].append((seconds, rss))
    peaks = []
    for index, command in enumerate(commands):
        if outputs and os.path.exists(outputs[index]):
            os.unlink(outputs[index])
        peaks.append(measure(command, poll=True)[2])
    return [(statistics.median(r[0] for r in rs), max(r[1] for r in rs), anon)
            for rs, anon in zip(results, peaks)]


def pair(runs, tools, work, old, new):
    fwkit, pkgstamp, pkgcheck = tools
    name = os.path.basename(new)
    package = os.path.join(work, name + ".pkg")
    subprocess.run([pkgstamp, "1", new, package], check=True, stdout=subprocess.DEVNULL)
    ours_delta = os.path.join(work, name + ".delta.pkg")
    ref_delta = os.path.join(work, name + ".vcdiff")
    made = median_run([[fwkit, "delta", "--base", old, "-o", ours_delta, package],
                       ["xdelta3", "-9", "-e", "-f", "-s", old, new, ref_delta]], runs,
                      after=lambda i: sync(ref_delta) if i == 1 else 0.0,
                      outputs=(ours_delta, ref_delta))
    ours_out = os.path.join(work, name + ".ours.out")
    ref_out = os.path.join(work, name + ".ref.out")
    applied = median_run([[pkgcheck, "--base", old, "-o", ours_out, ours_delta],
                          ["xdelta3", "-d", "-f", "-s", old, ref_delta, ref_out]], runs,
                         after=lambda i: sync(ref_out) if i == 1 else 0.0,
                         outputs=(ours_out, ref_out))
    for out in (ours_out, ref_out):
        if subprocess.run(["cmp", "-s", out, new]).returncode != 0:
            sys.exit(f"deltas: {out} is not {new}")
    ours_size, ref_size = os.path.getsize(ours_delta), os.path.getsize(ref_delta)
    print(f"{name}: {os.path.getsize(new) / 2**20:.1f} MiB, old {os.path.basename(old)}")
    size_ok = ours_size <= ref_size
    print(f"  size     ours {ours_size:>12,} bytes (header included)   xdelta3 {ref_size:>12,} bytes"
          f"   {'ok' if size_ok else 'MISS'}")
    ok = size_ok & row("make", *made) & row("apply", *applied)
    anon_ok = applied[0][2] < APPLY_ANON_BAR_KIB
    print(f"  apply anonymous memory {applied[0][2] / 1024:.1f} MiB, bar < {64 + FRAME_MIB} MiB"
          f"   {'ok' if anon_ok else 'MISS'}")
    for path in (ours_delta, ref_delta, ours_out, ref_out, package):
        os.unlink(path)
    return ok and anon_ok


def main():
    runs = int(sys.argv[1])
    tools = sys.argv[2:5]
    work = sys.argv[5]
    images = sys.argv[6:]
    ok = True
    for index in range(0, len(images), 2):
        ok &= pair(runs, tools, work, images[index], images[index + 1])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
