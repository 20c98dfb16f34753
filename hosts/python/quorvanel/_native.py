"""The plug-ins and the helper library, called through ctypes as a host calls them.

The two plug-ins (``ifqrvnel`` and ``axqrvnel``) and the helper library sit in
the package's ``_libs`` folder. Every export is called by name with its source
as (src, len, flag), and every block a plug-in hands over is copied out and
freed at once, the way ``qrvnel.h`` says: ``free()`` on Linux, ``LocalFree`` on
Windows. Nothing here is kept between calls but the loaded libraries.
"""

from __future__ import annotations

import contextlib
import ctypes
import sys
from ctypes import (POINTER, c_char, c_char_p, c_int16, c_int32, c_size_t, c_ssize_t,
                    c_uint16, c_uint32, c_uint8, c_void_p)
from pathlib import Path
from typing import Iterator, Optional, Tuple

WINDOWS = sys.platform == "win32"
_LIBS = Path(__file__).with_name("_libs")

# Result codes of the exports.
RC_OK = 0
RC_UNKNOWN_FORMAT = 2
RC_READ_ERROR = 6

# Source kinds (the low bits of a source's flag) and GetFile's memory output.
INPUT_FILE = 0
INPUT_MEMORY = 1
OUTPUT_MEMORY = 0x100
HEAD_SIZE = 2048
# A memory source's length is a signed 32-bit value.
MAX_MEMORY_SOURCE = 0x7FFFFFFF

# What was asked when a result code came back, so that qrv's wording fits.
DOING_PICTURE_INFO, DOING_PICTURE, DOING_LISTING, DOING_LOOKUP, DOING_EXTRACT = range(5)


class PictureInfo(ctypes.LittleEndianStructure):
    """What GetPictureInfo fills in (26 packed bytes)."""

    _pack_ = 1
    _fields_ = [("left", c_int32), ("top", c_int32), ("width", c_int32), ("height", c_int32),
                ("x_density", c_uint16), ("y_density", c_uint16), ("colour_depth", c_int16),
                ("text_handle", c_uint32)]


class BitmapHeader(ctypes.LittleEndianStructure):
    """The 40-byte header at the start of GetPicture's header block."""

    _pack_ = 1
    _fields_ = [("size", c_uint32), ("width", c_int32), ("height", c_int32),
                ("planes", c_uint16), ("bit_count", c_uint16), ("compression", c_uint32),
                ("image_size", c_uint32), ("x_pels_per_meter", c_int32),
                ("y_pels_per_meter", c_int32), ("colours_used", c_uint32),
                ("colours_important", c_uint32)]


class FileInfo(ctypes.LittleEndianStructure):
    """One archive entry as GetArchiveInfo lists it (428 packed bytes)."""

    _pack_ = 1
    _fields_ = [("method", c_char * 8), ("position", c_uint32), ("stored_size", c_uint32),
                ("size", c_uint32), ("timestamp", c_uint32), ("path", c_char * 200),
                ("file_name", c_char * 200), ("check", c_uint32)]


assert ctypes.sizeof(PictureInfo) == 26 and ctypes.sizeof(BitmapHeader) == 40
assert ctypes.sizeof(FileInfo) == 428

_Library = ctypes.WinDLL if WINDOWS else ctypes.CDLL  # __stdcall on 32-bit Windows
_PLUGIN_SUFFIX = ".spi" if WINDOWS else ".so"
_HELPER_NAME = "qrvhelper.dll" if WINDOWS else "qrvhelper.so"


def _declare(library: ctypes.CDLL, name: str, restype, *argtypes) -> None:
    function = getattr(library, name)
    function.restype = restype
    function.argtypes = argtypes


def _load_plugin(base: str, version: bytes) -> ctypes.CDLL:
    path = _LIBS / (base + _PLUGIN_SUFFIX)
    library = _Library(str(path))
    _declare(library, "GetPluginInfo", c_int32, c_int32, c_char_p, c_int32)
    answer = ctypes.create_string_buffer(256)
    if library.GetPluginInfo(0, answer, len(answer)) <= 0 or answer.value != version:
        raise ImportError(f"{path} is not a plug-in of interface version {version.decode()}")
    _declare(library, "IsSupported", c_int32, c_void_p, c_size_t)
    return library


image_plugin = _load_plugin("ifqrvnel", b"00IN")
_declare(image_plugin, "GetPictureInfo", c_int32, c_void_p, c_int32, c_uint32, POINTER(PictureInfo))
_declare(image_plugin, "GetPicture", c_int32, c_void_p, c_int32, c_uint32, POINTER(c_void_p),
         POINTER(c_void_p), c_void_p, c_ssize_t)

archive_plugin = _load_plugin("axqrvnel", b"00AM")
_declare(archive_plugin, "GetArchiveInfo", c_int32, c_void_p, c_int32, c_uint32, POINTER(c_void_p))
_declare(archive_plugin, "GetFileInfo", c_int32, c_void_p, c_int32, c_char_p, c_uint32,
         POINTER(FileInfo))
_declare(archive_plugin, "GetFile", c_int32, c_void_p, c_int32, c_void_p, c_uint32, c_void_p,
         c_ssize_t)

_helper = ctypes.CDLL(str(_LIBS / _HELPER_NAME))
_declare(_helper, "QrvEncodePicture", c_int32, c_uint32, c_uint32, c_uint32, c_uint32, c_char_p,
         c_size_t, POINTER(POINTER(c_uint8)), POINTER(c_size_t), c_char_p, c_size_t)
_declare(_helper, "QrvFreeEncoded", None, POINTER(c_uint8))
_declare(_helper, "QrvResultMessage", c_size_t, c_int32, c_int32, c_char_p, c_char_p, c_size_t)

if WINDOWS:
    _kernel32 = ctypes.WinDLL("kernel32")
    _declare(_kernel32, "LocalLock", c_void_p, c_void_p)
    _declare(_kernel32, "LocalUnlock", ctypes.c_int, c_void_p)
    _declare(_kernel32, "LocalSize", c_size_t, c_void_p)
    _declare(_kernel32, "LocalFree", c_void_p, c_void_p)
else:
    _libc = ctypes.CDLL(None)  # the C library the plug-ins allocate from
    _declare(_libc, "free", None, c_void_p)


def message(rc: int, doing: int, target: str = "") -> str:
    """qrv's words for the result code ``rc``."""
    text = ctypes.create_string_buffer(256)
    _helper.QrvResultMessage(rc, doing, target.encode("utf-8", "replace"), text, len(text))
    return text.value.decode("utf-8", "replace")


@contextlib.contextmanager
def held_block(handle: Optional[int], what: str) -> Iterator[Tuple[int, Optional[int]]]:
    """A handed-over block's address and size, freed when the block is left.

    On Windows the block is locked for the ``with`` statement and its size is
    known; on Linux it is plain memory (size None) whose extent only the
    records in it describe. Nothing read from it may be kept beyond the block.
    """
    if not handle:
        raise OSError(f"the plug-in handed over no {what}")
    if not WINDOWS:
        try:
            yield handle, None
        finally:
            _libc.free(handle)
        return
    try:
        address = _kernel32.LocalLock(handle)
        if not address:
            raise MemoryError(f"cannot lock the {what} the plug-in handed over")
        try:
            yield address, _kernel32.LocalSize(handle)
        finally:
            _kernel32.LocalUnlock(handle)
    finally:
        _kernel32.LocalFree(handle)


def block_bytes(handle: Optional[int], size: int, what: str) -> bytes:
    """The first ``size`` bytes of a handed-over block, which is then freed."""
    with held_block(handle, what) as (address, known):
        if known is not None and known < size:
            raise OSError(f"the plug-in handed over a {what} smaller than it says")
        return ctypes.string_at(address, size)


def address_of(data: bytes) -> int:
    """The address of an immutable bytes object's contents, as a memory source."""
    return ctypes.cast(c_char_p(data), c_void_p).value or 0


def is_supported(plugin: ctypes.CDLL, name: bytes, head: bytes) -> bool:
    """IsSupported with the first 2048 bytes of the data (zero-filled when shorter)."""
    block = ctypes.create_string_buffer(head[:HEAD_SIZE], HEAD_SIZE)
    return plugin.IsSupported(ctypes.create_string_buffer(name), ctypes.addressof(block)) != 0


def picture_info(header: bytes) -> Tuple[int, Optional[PictureInfo]]:
    """GetPictureInfo on the picture's first bytes, as a memory source."""
    info = PictureInfo()
    source = ctypes.create_string_buffer(header, len(header))
    rc = image_plugin.GetPictureInfo(source, len(header), INPUT_MEMORY, ctypes.byref(info))
    return rc, (info if rc == RC_OK else None)


def decode_picture(data: bytearray) -> Tuple[int, BitmapHeader, bytes]:
    """GetPicture on the picture's bytes, as a memory source.

    Returns the result code, the bitmap header and the pixel rows from the
    top, without their padding; the blocks are freed before it returns.
    """
    size = min(len(data), MAX_MEMORY_SOURCE)
    source = (c_char * len(data)).from_buffer(data)
    info_block = c_void_p()
    bits_block = c_void_p()
    rc = image_plugin.GetPicture(source, size, INPUT_MEMORY, ctypes.byref(info_block),
                                 ctypes.byref(bits_block), None, 0)
    header = BitmapHeader()
    if rc != RC_OK:
        return rc, header, b""
    try:
        ctypes.memmove(ctypes.byref(header), block_bytes(info_block.value, 40, "bitmap header"), 40)
        if header.size != 40 or header.width <= 0 or header.height <= 0 \
                or header.bit_count not in (8, 24):
            raise OSError("the plug-in handed over a bitmap header this host does not understand")
    except BaseException:
        with held_block(bits_block.value, "pixel block"):
            pass
        raise
    row_bytes = header.width * (header.bit_count // 8)
    stride = (row_bytes + 3) & ~3
    with held_block(bits_block.value, "pixel block") as (address, known):
        if known is not None and known < stride * header.height:
            raise OSError("the plug-in handed over a pixel block smaller than its header says")
        pixels = memoryview((c_uint8 * (stride * header.height)).from_address(address)).cast("B")
        # The bitmap's rows run bottom-up.
        rows = b"".join(pixels[y * stride:y * stride + row_bytes]
                        for y in range(header.height - 1, -1, -1))
        pixels.release()
    return rc, header, rows


def encode_picture(width: int, height: int, channels: int, bits: int, samples: bytes) -> bytes:
    """The picture writer with qrv encode's sample rules; ValueError with its reason."""
    out = POINTER(c_uint8)()
    out_size = c_size_t()
    error = ctypes.create_string_buffer(256)
    if _helper.QrvEncodePicture(width, height, channels, bits, samples, len(samples),
                                ctypes.byref(out), ctypes.byref(out_size), error, len(error)):
        raise ValueError(error.value.decode("utf-8", "replace"))
    try:
        return ctypes.string_at(out, out_size.value)
    finally:
        _helper.QrvFreeEncoded(out)
