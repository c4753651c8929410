#!/usr/bin/env python3
"""Bytes a chunked install fetches, against the full package and the deltas.

    bench/chunks.py FWKIT WORKDIR OLD NEW [CHUNK]...

The device: two raw slots in plain files, A booted and holding OLD, B as large
as NEW and holding random bytes; its bootloader a GRUB environment block in a file. NEW is stamped and
signed with a chunk index at each CHUNK size (default 64K 256K 1M 4M); each is
installed into a fresh slot B with fwkit install --json, which reports the
bytes reused from A (whole chunks, and blocks found by the index's block
hints) and those fetched from the package. What a device
downloads is the header, the index and the bytes fetched; printed beside the
full package, fwkit's zstd-delta against OLD and xdelta3 -9's delta. Bar: what
the default chunk size downloads is at most 5 % of the full package.
"""
import json
import os
import shutil
import subprocess
import sys

DEFAULT_CHUNK = "64K"  # CChunkIndex::kDefaultChunk
GOAL_SHARE = 0.05


def run(*args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"chunks: failed ({done.returncode}): {' '.join(args)}\n{done.stderr}")
    return done.stdout


def describe(top, work, slot_a, slot_b):
    """The device's description and its bootloader environment; the path of the description."""
    with open(os.path.join(work, "cmdline"), "w") as cmdline:
        cmdline.write("console=ttyS0 fwkit.slot=A\n")
    conf = os.path.join(work, "chunks.conf")
    with open(conf, "w") as out:
        out.write(f"""[system]
compatible = bench
keyring = {top}/bench.pub
bootloader = grub
cmdline = {work}/cmdline
state = {work}/state
[grub]
env = {work}/grubenv
[class rootfs]
filetype = rootfs
[slot rootfs.A]
device = {slot_a}
kind = raw
[slot rootfs.B]
device = {slot_b}
kind = raw
""")
    return conf


def fresh_device(work, size):
    """Slot B as large as NEW, holding random bytes (an image older than OLD shares
    nothing with NEW either), the environment and the state as new."""
    with open(os.path.join(work, "slotB"), "wb") as out:
        for _ in range(0, size, 1 << 20):
            out.write(os.urandom(1 << 20))
        out.truncate(size)
    with open(os.path.join(work, "grubenv"), "wb") as env:
        block = b"# GRUB Environment Block\n"
        env.write(block + b"#" * (1024 - len(block)))
    shutil.rmtree(os.path.join(work, "state"), ignore_errors=True)


def main():
    fwkit, top, old, new = sys.argv[1:5]
    chunks = sys.argv[5:] or ["64K", "256K", "1M", "4M"]
    work = os.path.join(top, "chunks")
    os.makedirs(work, exist_ok=True)
    slot_a = os.path.join(work, "slotA")
    run("cp", old, slot_a)
    conf = describe(top, work, slot_a, os.path.join(work, "slotB"))
    size = os.path.getsize(new)
    full = os.path.join(work, "new.pkg")
    run(fwkit, "stamp", "-q", "-v", "2.0.0", "-f", "rootfs", "-o", full, new)
    run(fwkit, "sign", "-q", "-k", os.path.join(top, "bench.pem"), "--compatible", "bench", full)
    delta = os.path.join(work, "delta.pkg")
    run(fwkit, "delta", "-q", "--base", old, "-o", delta, full)
    vcdiff = os.path.join(work, "new.vcdiff")
    run("xdelta3", "-9", "-e", "-f", "-s", old, new, vcdiff)
    full_size = os.path.getsize(full)
    print(f"{os.path.basename(new)}: {size / 2**20:.1f} MiB, old {os.path.basename(old)} in the "
          f"booted slot")
    print(f"  full package {full_size:>12,} bytes   zstd-delta {os.path.getsize(delta):>10,} bytes"
          f"   xdelta3 {os.path.getsize(vcdiff):>10,} bytes")
    ok = True
    for chunk in chunks:
        package = os.path.join(work, f"new-{chunk}.pkg")
        run("cp", full, package)
        run(fwkit, "sign", "-q", "-k", os.path.join(top, "bench.pem"), "--compatible", "bench",
            "--chunk", chunk, package)
        fresh_device(work, size)
        report = json.loads(run(fwkit, "install", "-c", conf, "--json", package))
        index = os.path.getsize(package + ".index")
        header = os.path.getsize(package) - size
        downloaded = header + index + report["fetched"]
        share = downloaded / full_size
        met = share <= GOAL_SHARE
        if chunk == DEFAULT_CHUNK:
            ok &= met
        print(f"  chunks of {chunk:<5} fetched {report['fetched']:>11,}  reused {report['reused']:>11,}"
              f"  present {report['present']:>9,}"
              f"  index {index:>7,}  downloaded {downloaded:>11,} bytes = {100 * share:5.2f} % of"
              f" the full package, bar {100 * GOAL_SHARE:.0f} %   {'ok' if met else 'MISS'}"
              f"{'  (default)' if chunk == DEFAULT_CHUNK else ''}")
        if subprocess.run(["cmp", "-s", os.path.join(work, "slotB"), new]).returncode != 0:
            sys.exit("chunks: slot B does not hold the new image")
        for path in (package, package + ".index"):
            os.unlink(path)
    for path in (full, delta, vcdiff, slot_a, os.path.join(work, "slotB")):
        os.unlink(path)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
