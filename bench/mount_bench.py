#!/usr/bin/env python3
"""Reading a large entry through `qrv mount` against reading it from the archive.

usage: bench/mount_bench.py [--quick] [--rounds N] [--dir DIR] [BUILD_DIR]

Packs one entry of 1 GiB (256 MiB with --quick) with `qrv pack`, mounts the
archive with BUILD_DIR/qrv (default build/native) and, round by round, times
`dd bs=1M` over the entry's byte range in the archive file against `dd bs=1M`
and `cat` of the entry in the mount. The archive file is in the page cache
throughout, as its pages are once read from the disk (the pages `qrv pack`
leaves behind read faster; they are timed on their own line first). Each round mounts afresh, so its first read through the mount
starts with the mount's own cache empty (every byte goes through the serving
process); the reads after it find the entry in that cache. Prints medians in
MB/s (10^6 bytes) and the target: warm reads through the mount at least half
as fast as the direct read. The archive goes into a temporary folder in DIR
(default: the system's temporary folder). Needs root and /dev/fuse, else says
so and exits 0.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ENTRY_HEADER_BYTES = 10


def timed(command, size):
    """MB/s of one run of `command`, which must read `size` bytes."""
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return size / (time.perf_counter() - started) / 1e6


def main():
    args = sys.argv[1:]
    quick = "--quick" in args
    rounds = 3 if quick else 7
    options = {}
    for name in ("--rounds", "--dir"):
        if name in args:
            options[name] = args[args.index(name) + 1]
            del args[args.index(name):args.index(name) + 2]
    rounds = int(options.get("--rounds", rounds))
    args = [a for a in args if a != "--quick"]
    qrv = str(Path(args[0] if args else "build/native") / "qrv")
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or not shutil.which("fusermount3"):
        print("mount_bench: skipped: mounting needs root, /dev/fuse and fusermount3")
        return 0
    if not os.access(qrv, os.X_OK):
        print(f"mount_bench: {qrv} is not built", file=sys.stderr)
        return 1

    size = (256 if quick else 1024) << 20
    with tempfile.TemporaryDirectory(prefix="qrv-mount-bench-", dir=options.get("--dir")) as work:
        work = Path(work)
        source, archive, mount = work / "large_entry", work / "bench.dat", work / "mnt"
        block = os.urandom(64 << 20)
        with open(source, "wb") as out:
            for _ in range(size // len(block)):
                out.write(block)
        subprocess.run([qrv, "pack", "-q", archive, source], check=True)
        source.unlink()
        entry = json.loads(subprocess.run([qrv, "list", "--json", archive], check=True,
                                          capture_output=True, text=True).stdout)["entries"][0]
        offset = entry["position"] + ENTRY_HEADER_BYTES + len(entry["name"])
        mount.mkdir()
        direct = ["dd", f"if={archive}", "of=/dev/null", "bs=1M", "iflag=skip_bytes,count_bytes",
                  f"skip={offset}", f"count={size}"]
        through = ["dd", f"if={mount / entry['name']}", "of=/dev/null", "bs=1M"]
        cat = ["cat", str(mount / entry["name"])]
        figures = {"written": [], "direct": [], "first": [], "warm": [], "cat": []}
        # The pages `qrv pack` left in the cache read faster than pages read
        # in from the disk, as any archive's are; those are timed apart, then
        # dropped, and the archive is read once.
        figures["written"] = [timed(direct, size) for _ in range(3)]
        fd = os.open(archive, os.O_RDONLY)
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
        timed(direct, size)
        print(f"one entry of {size >> 20} MiB, {rounds} rounds")
        for _ in range(rounds):
            subprocess.run([qrv, "mount", archive, mount], check=True)
            try:
                figures["first"].append(timed(through, size))
                figures["direct"].append(timed(direct, size))
                figures["warm"].append(timed(through, size))
                figures["cat"].append(timed(cat, size))
            finally:
                subprocess.run(["fusermount3", "-u", str(mount)], check=True)

    def median(name):
        return statistics.median(figures[name])

    ratios = [w / d for w, d in zip(figures["warm"], figures["direct"])]
    first = [f / d for f, d in zip(figures["first"], figures["direct"])]
    print(f"  dd bs=1M, archive file as just written      {median('written'):9.0f} MB/s")
    print(f"  dd bs=1M, archive file, entry's byte range  {median('direct'):9.0f} MB/s")
    print(f"  dd bs=1M through the mount, first read     {median('first'):9.0f} MB/s"
          f"  ({statistics.median(first):.2f} of direct)")
    print(f"  dd bs=1M through the mount, warm           {median('warm'):9.0f} MB/s"
          f"  ({statistics.median(ratios):.2f} of direct)")
    print(f"  cat through the mount, warm                {median('cat'):9.0f} MB/s")
    met = statistics.median(ratios) >= 0.5
    print(f"target: warm reads through the mount at least 0.5 of direct: "
          f"{'met' if met else 'missed'} ({statistics.median(ratios):.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
