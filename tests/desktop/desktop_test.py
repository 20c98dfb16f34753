#!/usr/bin/python3
"""The desktop plug-ins through the real toolkits, without a display.

Usage: desktop_test.py CONFIG.json build|installed

One table of pictures made by the project's writers goes through every path a
desktop takes: gdk-pixbuf's one-shot load, its incremental loader fed 7 bytes
at a time, QImageReader on Qt 6 and Qt 5, and gdk-pixbuf-thumbnailer as the
thumbnailer entry runs it. Every picture must come out pixel for pixel as the
image filter's own GetPicture bitmap; every damaged or cut file must fail on
every path with qrv's wording. The MIME types are checked through GIO.

"build" uses the plug-ins where the build left them; "installed" first runs
`cmake --install` into a fresh directory and uses only what landed there, with
just GDK_PIXBUF_MODULE_FILE, XDG_DATA_HOME and QT_PLUGIN_PATH pointing into it.

Needs Debian's Python (/usr/bin/python3) for the GObject bindings.
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

MIME_TYPE = "image/x-quorvanel-cg"
ARCHIVE_MIME_TYPE = "application/x-quorvanel-archive"

# What each kind of bad file must say, as qrv says it, and gdk-pixbuf's code.
FAILURES = {
    "not_picture": ("not a Quorvanel CG picture", "UNKNOWN_TYPE"),
    "ends_early": ("picture ends early", "CORRUPT_IMAGE"),
    "damaged": ("damaged Quorvanel CG picture data", "CORRUPT_IMAGE"),
}


class Setup:
    """Where the plug-ins are for this run, and the environment naming them."""

    def __init__(self, config, tree):
        self.config = config
        work = Path(config["work_dir"]) / ("work-" + tree)
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        self.work = work
        self.pictures = work / "pictures"
        subprocess.run([config["pictures_tool"], str(self.pictures)], check=True)
        self.manifest = []
        for line in (self.pictures / "manifest.txt").read_text().splitlines():
            name, width, height, bits, expect = line.split()
            self.manifest.append((name, int(width), int(height), int(bits), expect))

        build = Path(config["build_dir"])
        if tree == "installed":
            prefix = work / "prefix"
            subprocess.run([config["cmake"], "--install", str(build), "--prefix", str(prefix)],
                           check=True, stdout=subprocess.DEVNULL)
            self.prefix = prefix
            self.module = prefix / config["module_dir"] / "libpixbufloader-qcg.so"
            self.cache = self.module.parent.parent / "loaders.cache"
            self.data_home = prefix / config["data_dir"]
            self.qt_plugin_paths = {major: prefix / rel for major, (_, rel) in config["qt"].items()}
            self.filter = prefix / config["plugin_dir"] / "ifqrvnel.so"
        else:
            self.prefix = None
            self.module = build / "libpixbufloader-qcg.so"
            self.cache = work / "loaders.cache"
            # The MIME database is written next to the package file: keep the
            # build's share/ untouched and copy the file.
            self.data_home = work / "share"
            packages = self.data_home / "mime" / "packages"
            packages.mkdir(parents=True)
            shutil.copy(build / "share" / "mime" / "packages" / "quorvanel.xml", packages)
            thumbnailers = self.data_home / "thumbnailers"
            shutil.copytree(build / "share" / "thumbnailers", thumbnailers)
            self.qt_plugin_paths = {major: build / ("qt" + major) for major in config["qt"]}
            self.filter = build / "ifqrvnel.so"

        listing = subprocess.run([config["query_loaders"], str(self.module)], check=True,
                                 capture_output=True, text=True).stdout
        self.cache.parent.mkdir(parents=True, exist_ok=True)
        self.cache.write_text(listing)
        subprocess.run(["update-mime-database", str(self.data_home / "mime")], check=True)
        self.thumbnailer = self.data_home / "thumbnailers" / "quorvanel-cg.thumbnailer"
        os.environ["GDK_PIXBUF_MODULE_FILE"] = str(self.cache)
        os.environ["XDG_DATA_HOME"] = str(self.data_home)
        # A run is decided by these alone, not by the user's own settings.
        os.environ.pop("QT_PLUGIN_PATH", None)
        os.environ["QT_QPA_PLATFORM"] = "offscreen"
        runtime = work / "runtime"
        runtime.mkdir(mode=0o700)
        os.environ["XDG_RUNTIME_DIR"] = str(runtime)

    def good(self):
        return [entry for entry in self.manifest if entry[4] == "ok"]

    def bad(self):
        return [entry for entry in self.manifest if entry[4] != "ok"]


SETUP = None  # set in main(), before the GObject bindings are imported


class FilterBitmap:
    """GetPicture of the image filter itself, as top-down packed RGB rows."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(str(path))
        self.libc = ctypes.CDLL(None)
        self.lib.GetPicture.restype = ctypes.c_int32
        self.lib.GetPicture.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_uint32,
                                        ctypes.POINTER(ctypes.c_void_p),
                                        ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p,
                                        ctypes.c_ssize_t]
        self.libc.free.argtypes = [ctypes.c_void_p]

    def rgb(self, path):
        info = ctypes.c_void_p()
        bits = ctypes.c_void_p()
        rc = self.lib.GetPicture(str(path).encode(), 0, 0, ctypes.byref(info),
                                 ctypes.byref(bits), None, 0)
        if rc != 0:
            raise AssertionError(f"GetPicture answered {rc} for {path}")
        header = ctypes.string_at(info, 40)
        width = int.from_bytes(header[4:8], "little", signed=True)
        height = int.from_bytes(header[8:12], "little", signed=True)
        depth = int.from_bytes(header[14:16], "little")
        table = ctypes.string_at(info.value + 40, 1024) if depth == 8 else b""
        step = depth // 8
        stride = (width * step + 3) & ~3
        pixels = ctypes.string_at(bits, stride * height)
        self.libc.free(info)
        self.libc.free(bits)
        rows = []
        for r in range(height - 1, -1, -1):
            row = pixels[r * stride:r * stride + width * step]
            if depth == 24:
                out = bytearray(row)
                out[0::3], out[2::3] = row[2::3], row[0::3]
            else:
                out = bytearray()
                for v in row:
                    out += bytes((table[4 * v + 2], table[4 * v + 1], table[4 * v]))
            rows.append(bytes(out))
        return width, height, b"".join(rows)


def pixbuf_rgb(pixbuf):
    """A pixbuf's pixels as packed RGB rows (it must have no alpha)."""
    width, height = pixbuf.get_width(), pixbuf.get_height()
    stride = pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    return b"".join(data[r * stride:r * stride + width * 3] for r in range(height))


class PictureTests(unittest.TestCase):
    """Each picture of the table through each path, against GetPicture."""

    @classmethod
    def setUpClass(cls):
        cls.filter = FilterBitmap(SETUP.filter)
        cls.expected = {name: cls.filter.rgb(SETUP.pictures / name)
                        for name, *_ in SETUP.good()}

    def assert_pixbuf_is(self, pixbuf, name):
        width, height, rgb = self.expected[name]
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (width, height))
        self.assertEqual((pixbuf.get_n_channels(), pixbuf.get_has_alpha()), (3, False))
        self.assertEqual(pixbuf_rgb(pixbuf), rgb, f"{name}: pixels differ from GetPicture")

    def test_one_shot(self):
        for name, width, height, bits, _ in SETUP.good():
            with self.subTest(name=name):
                self.assert_pixbuf_is(GdkPixbuf.Pixbuf.new_from_file(str(SETUP.pictures / name)),
                                      name)

    def load_in_chunks(self, path, chunk=7, size=None):
        loader = GdkPixbuf.PixbufLoader.new_with_mime_type(MIME_TYPE)
        announced = []

        def on_size(loader_, width, height):
            announced.append((width, height))
            if size is not None:
                loader_.set_size(*size)

        loader.connect("size-prepared", on_size)
        data = path.read_bytes()
        try:
            for at in range(0, len(data), chunk):
                loader.write(data[at:at + chunk])
        finally:
            loader.close()
        return loader.get_pixbuf(), announced, loader.get_format().get_name()

    def test_incremental(self):
        for name, width, height, bits, _ in SETUP.good():
            with self.subTest(name=name):
                pixbuf, announced, format_name = self.load_in_chunks(SETUP.pictures / name)
                self.assertEqual(format_name, "qcg")
                self.assertEqual(announced, [(width, height)])
                self.assert_pixbuf_is(pixbuf, name)

    def test_smaller_sizes_asked_for(self):
        name = "rgb_161x97.qcg"
        path = SETUP.pictures / name
        pixbuf, announced, _ = self.load_in_chunks(path, chunk=4096, size=(40, 24))
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (40, 24))
        at_size = GdkPixbuf.Pixbuf.new_from_file_at_size(str(path), 64, 64)
        self.assertEqual((at_size.get_width(), at_size.get_height()), (64, 39))
        # Only the size: the loader is stopped by asking for a size of 0.
        info = GdkPixbuf.Pixbuf.get_file_info(str(path))
        self.assertEqual((info[0].get_name(), info.width, info.height), ("qcg", 161, 97))

    def test_qt_readers(self):
        self.assertEqual(sorted(SETUP.config["qt"]), ["5", "6"], "both Qt plug-ins are built")
        plain = SETUP.work / "no_extension"
        shutil.copy(SETUP.pictures / "rgb_37x21.qcg", plain)
        for major, (probe, _) in sorted(SETUP.config["qt"].items()):
            with self.subTest(qt=major):
                out = SETUP.work / f"qt{major}"
                out.mkdir(exist_ok=True)
                files = [SETUP.pictures / e[0] for e in SETUP.manifest] + [plain]
                env = dict(os.environ, QT_PLUGIN_PATH=str(SETUP.qt_plugin_paths[major]))
                run = subprocess.run([probe, str(out)] + [str(f) for f in files], env=env,
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                lines = {Path(line.split()[0]).name: line for line in run.stdout.splitlines()}
                for name, width, height, bits, expect in SETUP.manifest:
                    line = lines[name]
                    if expect == "ok":
                        self.assertIn(f"format=qcg can_read=1 size={width}x{height} read=ok",
                                      line)
                        got = (out / (name + ".rgb")).read_bytes()
                        self.assertEqual(got, self.expected[name][2], f"Qt {major}: {name}")
                    elif width == 0:
                        # No sound header: refused by the content check, and Qt
                        # says why itself.
                        self.assertIn("can_read=0", line)
                        self.assertIn("read=failed", line)
                        self.assertNotIn(name, run.stderr)
                    else:
                        # The header is sound, so the reader tries; the handler
                        # then says why it failed, as qrv says it.
                        self.assertIn(f"can_read=1 size={width}x{height} read=failed", line)
                        message = FAILURES[expect][0]
                        self.assertIn(f"{name}: {message}", run.stderr, f"Qt {major}: {name}")
                # Found by content alone.
                self.assertIn("format=qcg can_read=1 size=37x21 read=ok", lines[plain.name])
                self.assertEqual((out / (plain.name + ".rgb")).read_bytes(),
                                 self.expected["rgb_37x21.qcg"][2])

    def thumbnail_command(self, source, target):
        """The thumbnailer entry's Exec line, filled in as a file manager does."""
        entry = dict(line.split("=", 1) for line in SETUP.thumbnailer.read_text().splitlines()
                     if "=" in line)
        self.assertIn(MIME_TYPE, entry["MimeType"].split(";"))
        fill = {"%s": "128", "%u": source.as_uri(), "%o": str(target), "%i": str(source)}
        return [fill.get(word, word) for word in entry["Exec"].split()]

    def test_thumbnailer(self):
        for name, width, height, bits, _ in SETUP.good():
            with self.subTest(name=name):
                target = SETUP.work / (name + ".png")
                run = subprocess.run(self.thumbnail_command(SETUP.pictures / name, target),
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)
                thumb = GdkPixbuf.Pixbuf.new_from_file(str(target))
                tw, th = thumb.get_width(), thumb.get_height()
                # Fitted into 128 x 128, the shape kept.
                self.assertEqual(max(tw, th), 128)
                self.assertLessEqual(abs(tw * height - th * width), max(width, height))
                # The loader scales the picture bilinearly; so does the reference.
                w, h, rgb = self.expected[name]
                reference = GdkPixbuf.Pixbuf.new_from_bytes(
                    GLib.Bytes.new(rgb), GdkPixbuf.Colorspace.RGB, False, 8, w, h, w * 3)
                scaled = reference.scale_simple(tw, th, GdkPixbuf.InterpType.BILINEAR)
                self.assertFalse(thumb.get_has_alpha())
                self.assertEqual(pixbuf_rgb(thumb), pixbuf_rgb(scaled), f"thumbnail of {name}")


class BadFileTests(unittest.TestCase):
    """Each damaged or cut file through each path: a clean failure, qrv's words."""

    def assert_failure(self, error, expect, what, prefix=""):
        message, code = FAILURES[expect]
        self.assertEqual(error.domain, "gdk-pixbuf-error-quark", what)
        self.assertEqual(error.message, prefix + message, what)
        self.assertEqual(error.code, int(getattr(GdkPixbuf.PixbufError, code)), what)

    def test_one_shot(self):
        for name, *_, expect in SETUP.bad():
            with self.subTest(name=name):
                path = SETUP.pictures / name
                with self.assertRaises(GLib.Error) as caught:
                    GdkPixbuf.Pixbuf.new_from_file(str(path))
                # gdk-pixbuf puts the file's name in front of the loader's reason.
                self.assert_failure(caught.exception, expect, name,
                                    prefix=f"Failed to load image \u201c{path}\u201d: ")

    def test_incremental(self):
        for name, *_, expect in SETUP.bad():
            with self.subTest(name=name):
                loader = GdkPixbuf.PixbufLoader.new_with_mime_type(MIME_TYPE)
                prepared = []
                loader.connect("area-prepared", lambda l: prepared.append(l.get_pixbuf()))
                data = (SETUP.pictures / name).read_bytes()
                error = None
                try:
                    for at in range(0, len(data), 7):
                        loader.write(data[at:at + 7])
                    loader.close()
                except GLib.Error as failure:
                    error = failure
                self.assertIsNotNone(error, f"{name} loaded")
                self.assert_failure(error, expect, name)
                self.assertEqual(prepared, [], "a failed picture was announced")
                self.assertIsNone(loader.get_pixbuf())

    def test_thumbnailer(self):
        for name, *_, expect in SETUP.bad():
            with self.subTest(name=name):
                target = SETUP.work / (name + ".png")
                run = subprocess.run(PictureTests.thumbnail_command(self, SETUP.pictures / name,
                                                                    target),
                                     capture_output=True, text=True, timeout=60)
                self.assertNotEqual(run.returncode, 0)
                self.assertFalse(target.exists(), "a thumbnail of a bad file was written")
                self.assertIn(FAILURES[expect][0], run.stderr)


class MimeTests(unittest.TestCase):
    """The MIME types: by extension, by content alone, and the archives."""

    def guess(self, name, data):
        content_type, _ = Gio.content_type_guess(name, data)
        return content_type

    def test_types(self):
        picture = (SETUP.pictures / "grey_33x17.qcg").read_bytes()
        archive = (SETUP.pictures / "archive.dat").read_bytes()
        cases = [
            ("picture.qcg", picture, MIME_TYPE),
            ("picture", picture, MIME_TYPE),           # the magic alone
            ("picture.qcg", None, MIME_TYPE),          # the name alone
            ("archive.dat", archive, ARCHIVE_MIME_TYPE),
        ]
        for name, data, expected in cases:
            with self.subTest(name=name, with_data=data is not None):
                self.assertEqual(self.guess(name, data), expected)
        # Archives have no magic: without the extension they are not claimed.
        self.assertNotEqual(self.guess("archive", archive), ARCHIVE_MIME_TYPE)
        self.assertNotEqual(self.guess("archive.bin", archive), ARCHIVE_MIME_TYPE)
        # A file without its extension still opens: gdk-pixbuf goes by the magic.
        plain = SETUP.work / "picture_without_extension"
        plain.write_bytes(picture)
        self.assertEqual(GdkPixbuf.Pixbuf.new_from_file(str(plain)).get_width(), 33)


class InstalledTreeTests(unittest.TestCase):
    """What `cmake --install` lays out, and qrv working from there."""

    def test_layout(self):
        if SETUP.prefix is None:
            self.skipTest("only for the installed tree")
        prefix, config = SETUP.prefix, SETUP.config
        for rel in [config["module_dir"] + "/libpixbufloader-qcg.so",
                    config["plugin_dir"] + "/ifqrvnel.so", config["plugin_dir"] + "/axqrvnel.so",
                    config["plugin_dir"] + "/qrv", config["include_dir"] + "/qrvnel.h",
                    config["data_dir"] + "/mime/packages/quorvanel.xml",
                    config["data_dir"] + "/thumbnailers/quorvanel-cg.thumbnailer"] + \
                [rel + "/imageformats/libqrvqcg.so" for _, rel in config["qt"].values()]:
            with self.subTest(path=rel):
                self.assertTrue((prefix / rel).is_file())
        run = subprocess.run([str(prefix / config["bin_dir"] / "qrv"), "info",
                              str(SETUP.pictures / "rgb_5x3.qcg")],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("5 x 3 pixels, 24 bits per pixel", run.stdout)


def main():
    global SETUP, GdkPixbuf, GLib, Gio
    config = json.loads(Path(sys.argv[1]).read_text())
    SETUP = Setup(config, sys.argv[2])
    # Imported only now: gdk-pixbuf and GIO read the environment once.
    import gi
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf, Gio, GLib
    program = unittest.main(argv=[sys.argv[0], "-v"], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
