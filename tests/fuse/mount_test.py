#!/usr/bin/python3
"""`qrv mount` through real mounts, against `qrv extract`.

Usage: mount_test.py CONFIG.json [TEST...]

Every archive of qrv_test_archives' table is mounted by the built qrv and
compared byte for byte with what `qrv extract` writes, or must be refused as
`qrv list` refuses it. Then: random reads, 8 readers at once, write attempts,
the archive changed under the mount, every way of unmounting, and gdk-pixbuf
on pictures inside a mount. Needs root and /dev/fuse, else exits 77 (skipped).
"""
import errno
import hashlib
import json
import multiprocessing
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import time
import unittest
from pathlib import Path

CONFIG = json.loads(Path(sys.argv[1]).read_text())
WORK = Path(CONFIG["work_dir"])
ARCHIVES = WORK / "archives"


def qrv(*args):
    return subprocess.run([CONFIG["qrv"], *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def mount_points():
    with open("/proc/self/mounts") as table:
        return [line.split()[1] for line in table]


def servers(directory):
    """Processes whose command line is `qrv mount ... DIR`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            words = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if b"mount" in words and str(directory).encode() in words:
            found.append(entry.name)
    return found


def wait_until(condition, what):
    deadline = time.monotonic() + 20
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out: " + what)
        time.sleep(0.02)


def mount(archive, directory):
    directory.mkdir(parents=True, exist_ok=True)
    run = qrv("mount", archive, directory)
    assert run.returncode == 0 and str(directory) in mount_points(), run.stderr
    return run


def unmount(directory):
    subprocess.run(["fusermount3", "-u", str(directory)], check=True)
    wait_until(lambda: not servers(directory), f"the server of {directory} ends")


def extract(archive):
    out = WORK / "extracted" / archive.stem
    run = qrv("extract", "-q", archive, "-C", out)
    assert run.returncode == 0, run.stderr
    return out, run.stderr


class TableTests(unittest.TestCase):
    def test_every_archive_shows_what_extract_writes(self):
        for row in TABLE:
            archive, target = ARCHIVES / row["file"], WORK / "mnt" / row["file"]
            with self.subTest(archive=row["file"]):
                target.mkdir(parents=True, exist_ok=True)
                got = qrv("mount", archive, target)
                if row["refused"]:
                    self.assertEqual((got.returncode, got.stderr),
                                     (1, f"qrv: {archive}: {row['refused']}\n"))
                    listed = qrv("list", archive)
                    self.assertEqual((listed.returncode, listed.stderr), (1, got.stderr))
                    self.assertNotIn(str(target), mount_points())
                    continue
                self.assertEqual(got.returncode, 0, got.stderr)
                try:
                    self.assertTrue(servers(target), "a background process serves the mount")
                    extracted, warnings = extract(archive)
                    self.assertEqual(got.stderr, warnings.replace(" is written,", " is shown,"))
                    names = sorted(os.listdir(target))
                    self.assertEqual(names, sorted(os.listdir(extracted)))
                    whole = archive.stat()
                    for name in names:
                        info, copy = (target / name).stat(), extracted / name
                        self.assertEqual((target / name).read_bytes(), copy.read_bytes(), name[:9])
                        self.assertEqual((stat.S_IFMT(info.st_mode), info.st_mode & 0o222,
                                          info.st_size, info.st_mtime_ns, info.st_uid),
                                         (stat.S_IFREG, 0, copy.stat().st_size,
                                          whole.st_mtime_ns, whole.st_uid))
                finally:
                    unmount(target)


def digest_all(job):
    """Sha-256 of every file in DIR, read in blocks of a size and order of the seed's."""
    directory, seed = job
    rng, digests = random.Random(seed), {}
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        block = rng.choice([16384, 262144, 1 << 20])
        starts = list(range(0, os.path.getsize(path), block))
        rng.shuffle(starts)
        fd = os.open(path, os.O_RDONLY)
        pieces = {start: os.pread(fd, block, start) for start in starts}
        os.close(fd)
        digests[name] = hashlib.sha256(b"".join(pieces[s] for s in sorted(pieces))).hexdigest()
    return digests


class ReadTests(unittest.TestCase):
    def test_random_reads_and_eight_readers_at_once(self):
        target = WORK / "mnt" / "reads"
        extracted, _ = extract(ARCHIVES / "large.dat")
        data = (extracted / "large").read_bytes()
        size, rng = len(data), random.Random(23)
        cases = [(0, 1), (size - 1, 1), (size - 5, 100), (size, 10), (size + 4096, 10), (99, 0)]
        cases += [(rng.randrange(size), rng.choice([1, 511, 4096, 65537, 1 << 20, 3 << 20]))
                  for _ in range(300)]
        for start in ("random reads", "readers"):  # each on a mount with nothing cached
            mount(ARCHIVES / "large.dat", target)
            try:
                if start == "readers":
                    with multiprocessing.get_context("fork").Pool(8) as pool:
                        got = pool.map(digest_all, [(str(target), seed) for seed in range(8)])
                    self.assertEqual(got, [digest_all((str(extracted), 0))] * 8)
                    continue
                with open(target / "large", "rb", buffering=0) as f:
                    for offset, length in cases:
                        self.assertEqual(os.pread(f.fileno(), length, offset),
                                         data[offset:offset + length], (offset, length))
            finally:
                unmount(target)


WRITES = [
    ("open for writing", lambda d: os.open(d / "x", os.O_WRONLY)),
    ("open for reading and writing", lambda d: os.open(d / "x", os.O_RDWR)),
    ("open truncating", lambda d: os.open(d / "x", os.O_RDONLY | os.O_TRUNC)),
    ("create", lambda d: os.open(d / "new", os.O_CREAT | os.O_WRONLY, 0o644)),
    ("truncate", lambda d: os.truncate(d / "x", 0)),
    ("rename", lambda d: os.rename(d / "x", d / "y")),
    ("delete", lambda d: os.unlink(d / "x")),
    ("make a folder", lambda d: os.mkdir(d / "sub")),
    ("make a fifo", lambda d: os.mkfifo(d / "fifo")),
    ("hard link", lambda d: os.link(d / "x", d / "y")),
    ("symbolic link", lambda d: os.symlink("x", d / "y")),
    ("change the mode", lambda d: os.chmod(d / "x", 0o666)),
    ("set the times", lambda d: os.utime(d / "x", (0, 0))),
    ("set an attribute", lambda d: os.setxattr(d / "x", "user.note", b"1")),
]


def rewrite_byte(path):  # the same value: only the modification time moves
    with open(path, "r+b") as f:
        f.seek(-20, os.SEEK_END)
        byte = f.read(1)
        f.seek(-20, os.SEEK_END)
        f.write(byte)


def rewrite_keeping_time(path):  # as `cp -p` or `touch -r` leave it: only ctime tells
    seen = path.stat()
    with open(path, "r+b") as f:
        f.seek(-20, os.SEEK_END)
        byte = f.read(1)
        f.seek(-20, os.SEEK_END)
        f.write(bytes([byte[0] ^ 1]))
    os.utime(path, ns=(seen.st_atime_ns, seen.st_mtime_ns))


def append(path):
    with open(path, "ab") as f:
        f.write(b"more")


class ChangeTests(unittest.TestCase):
    def test_writes_fail_with_erofs(self):
        target, archive = WORK / "mnt" / "writes", ARCHIVES / "mixed.dat"
        before = archive.read_bytes()
        mount(archive, target)
        try:
            # As mounted, and then the file system's own answers once the mount
            # is made read-write.
            for remount in (False, True):
                if remount:
                    subprocess.run(["mount", "-i", "-o", "remount,rw", str(target)], check=True)
                for what, attempt in WRITES:
                    with self.subTest(what=what, remounted=remount):
                        with self.assertRaises(OSError) as caught:
                            attempt(target)
                        self.assertEqual(caught.exception.errno, errno.EROFS)
            self.assertEqual(sorted(os.listdir(target)), sorted(os.listdir(extract(archive)[0])))
            self.assertEqual((target / "x").read_bytes(), b"x")
        finally:
            unmount(target)
        self.assertEqual(archive.read_bytes(), before)

    def test_archive_changed_under_the_mount(self):
        changes = [("cut to half", lambda p: os.truncate(p, p.stat().st_size // 2)),
                   ("one byte rewritten", rewrite_byte), ("bytes appended", append),
                   ("rewritten, time set back", rewrite_keeping_time)]
        archive, target = WORK / "changed.dat", WORK / "mnt" / "changed"
        for what, change in changes:
            with self.subTest(change=what):
                shutil.copy(ARCHIVES / "mixed.dat", archive)
                mount(archive, target)
                opened = os.open(target / "readme", os.O_RDONLY)
                try:
                    self.assertEqual(len((target / "photo").read_bytes()),
                                     (target / "photo").stat().st_size)
                    change(archive)
                    for read in (lambda: os.read(opened, 100),
                                 lambda: (target / "noise").read_bytes()):
                        with self.assertRaises(OSError) as caught:
                            read()
                        self.assertEqual(caught.exception.errno, errno.EIO)
                finally:
                    os.close(opened)
                    unmount(target)


class UnmountTests(unittest.TestCase):
    def test_each_way_of_ending_a_foreground_mount(self):
        target = WORK / "mnt" / "signals"
        target.mkdir(parents=True, exist_ok=True)
        ways = [(name, lambda p, s=number: p.send_signal(s)) for name, number in
                [("SIGINT", signal.SIGINT), ("SIGTERM", signal.SIGTERM), ("SIGHUP", signal.SIGHUP)]]
        ways.append(("fusermount3 -u", lambda p: subprocess.run(["fusermount3", "-u", target])))
        for what, end in ways:
            with self.subTest(way=what):
                process = subprocess.Popen([CONFIG["qrv"], "mount", "-f", ARCHIVES / "mixed.dat",
                                            target], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, text=True)
                try:
                    wait_until(lambda: str(target) in mount_points(), "mounted")
                    self.assertEqual((target / "x").read_bytes(), b"x")
                    end(process)
                    self.assertEqual((process.wait(timeout=20), process.communicate()[1]),
                                     (0, ""))
                    self.assertNotIn(str(target), mount_points())
                finally:
                    if process.poll() is None:
                        subprocess.run(["fusermount3", "-u", "-z", target])
                        process.kill()
                        process.wait()


PROBE = """
import hashlib, sys, gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf
for path in sys.argv[1:]:
    p = GdkPixbuf.Pixbuf.new_from_file(path)
    w, h, n, s, d = p.get_width(), p.get_height(), p.get_n_channels(), p.get_rowstride(), p.get_pixels()
    print(w, h, n, hashlib.sha256(b"".join(d[r * s:r * s + w * n] for r in range(h))).hexdigest())
"""


class PixbufTests(unittest.TestCase):
    """The gdk-pixbuf loader and gdk-pixbuf-thumbnailer on pictures inside a mount, as
    on their extracted copies (the loader's own correctness is the desktop test's)."""

    def test_loader_and_thumbnailer(self):
        setup = CONFIG["pixbuf"]
        if setup is None:
            self.skipTest("the gdk-pixbuf loader is not built here")
        env = dict(os.environ, GDK_PIXBUF_MODULE_FILE=str(WORK / "loaders.cache"),
                   XDG_DATA_HOME=str(WORK / "share"))
        (WORK / "loaders.cache").write_text(subprocess.run(
            [setup["query_loaders"], setup["module"]], check=True, capture_output=True,
            text=True).stdout)
        (WORK / "share" / "mime" / "packages").mkdir(parents=True, exist_ok=True)
        shutil.copy(setup["mime"], WORK / "share" / "mime" / "packages")
        subprocess.run(["update-mime-database", str(WORK / "share" / "mime")], check=True,
                       capture_output=True)
        target = WORK / "mnt" / "pictures"
        for row in (row for row in TABLE if row["pictures"]):
            extracted, _ = extract(ARCHIVES / row["file"])
            mount(ARCHIVES / row["file"], target)
            try:
                for name in row["pictures"]:
                    with self.subTest(archive=row["file"], picture=name):
                        png = WORK / f"{name}.png"
                        self.assertEqual(qrv("convert", extracted / name, png).returncode, 0)
                        thumbs = [WORK / f"{name}.{side}.png" for side in ("mount", "copy")]
                        for source, thumb in zip((target / name, extracted / name), thumbs):
                            subprocess.run(["gdk-pixbuf-thumbnailer", "-s", "128", source, thumb],
                                           env=env, check=True, timeout=60)
                        lines = subprocess.run([sys.executable, "-c", PROBE, target / name, png,
                                                *thumbs], env=env, check=True, text=True,
                                               capture_output=True).stdout.splitlines()
                        self.assertEqual(lines[0], lines[1])  # the picture, as qrv converts it
                        self.assertEqual(lines[2], lines[3])  # the thumbnail, as of the copy
                        self.assertIn("128", lines[2].split()[:2])
            finally:
                unmount(target)


def main():
    global TABLE
    if os.geteuid() != 0 or not Path("/dev/fuse").exists() or not shutil.which("fusermount3"):
        print("skipped: mounting needs root, /dev/fuse and fusermount3 (Debian's fuse3)")
        sys.exit(77)
    shutil.rmtree(WORK, ignore_errors=True)
    subprocess.run([CONFIG["archives_tool"], ARCHIVES], check=True)
    TABLE = json.loads((ARCHIVES / "archives.json").read_text())["archives"]
    for row in (row for row in TABLE if "pack" in row):
        run = qrv("pack", "-q", ARCHIVES / row["file"], *(ARCHIVES / p for p in row["pack"]))
        assert run.returncode == 0, run.stderr
    try:
        program = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]], exit=False)
    finally:
        for point in mount_points():  # nothing is left mounted, whatever failed
            if point.startswith(str(WORK)):
                subprocess.run(["fusermount3", "-u", "-z", point])
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
