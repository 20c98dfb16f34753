"""Shared by the Python package's tests: qrv, and files made with it.

Every picture and archive comes from the project's own writers, through
`qrv encode` and `qrv pack`; the tests then hold the package to what qrv
itself answers for the same files.
"""
import os
import random
import subprocess
from pathlib import Path

import pytest
import quorvanel

QRV = os.environ["QRV"]


@pytest.fixture(autouse=True, scope="session")
def installed_wheel():
    # The tests are about the wheel as installed, never the source folder.
    assert "site-packages" in quorvanel.__file__, quorvanel.__file__


def run_qrv(*args, check=True):
    return subprocess.run([QRV, *map(str, args)], capture_output=True, check=check)


def samples(count, seed):
    """Ramps with scattered jumps, so that the writer uses runs and wide codes."""
    noise = random.Random(seed)
    return bytes((i * 7 + (noise.randrange(256) if noise.random() < 0.1 else 0)) & 255
                 for i in range(count))


def encode(folder: Path, image, name) -> Path:
    """A picture of `image` made by `qrv encode` from Pillow's PNG of it."""
    png = folder / (name + ".png")
    image.save(png)
    picture = folder / (name + ".qcg")
    run_qrv("encode", png, picture)
    return picture


def pack(folder: Path, files) -> bytes:
    """The bytes of `qrv pack` over `files`, (name, contents) pairs."""
    folder.mkdir()
    for name, contents in files:
        (folder / name).write_bytes(contents)
    archive = folder / "packed.dat"
    run_qrv("pack", archive, *(folder / name for name, _ in files))
    return archive.read_bytes()
