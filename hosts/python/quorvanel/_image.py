"""Quorvanel CG pictures in Pillow, through the image filter and the picture writer.

``Image.open`` asks the filter's GetPictureInfo for the size and depth from
the 12-byte header and decodes nothing; ``load()`` hands the picture's bytes
to GetPicture. ``save`` gives the samples to the project's picture writer,
converted as ``qrv encode`` converts PNG samples.
"""

from __future__ import annotations

from typing import IO, Tuple, Union

from PIL import Image, ImageFile

from . import _native
from ._files import PathType, fs_path, plugin_name, read_head

FORMAT = "QCG"
MIME_TYPE = "image/x-quorvanel-cg"
EXTENSION = ".qcg"

_HEADER_BYTES = 12
_READ_PIECE = 1 << 20

# How each Pillow mode reaches the writer: the Pillow conversion it needs
# first (None: none), then the raw layout its samples go in, in PNG's channel
# order, with their channel count and depth. 16-bit grey is rounded to 8 bits
# and alpha laid over white by the writer's library, as qrv encode does.
_SAVE_LAYOUTS = {
    "L": (None, "L", 1, 8),
    "LA": (None, "LA", 2, 8),
    "RGB": (None, "RGB", 3, 8),
    "RGBA": (None, "RGBA", 4, 8),
    "1": ("L", "L", 1, 8),
    "La": ("LA", "LA", 2, 8),
    "RGBa": ("RGBA", "RGBA", 4, 8),
    "RGBX": ("RGB", "RGB", 3, 8),
    "P": ("RGB", "RGB", 3, 8),
    "PA": ("RGBA", "RGBA", 4, 8),
    "CMYK": ("RGB", "RGB", 3, 8),
    "YCbCr": ("RGB", "RGB", 3, 8),
    "LAB": ("RGB", "RGB", 3, 8),
    "HSV": ("RGB", "RGB", 3, 8),
    "I": (None, "I;16B", 1, 16),
    "I;16": (None, "I;16B", 1, 16),
    "I;16B": (None, "I;16B", 1, 16),
    "I;16L": ("I", "I;16B", 1, 16),
    "I;16N": ("I", "I;16B", 1, 16),
}
# 8-bit modes whose "transparency" (a colour key or palette alpha) becomes
# alpha, as a PNG's transparency chunk does for qrv encode; so does the alpha
# of a palette that has one.
_KEYED_MODES = ("1", "L", "RGB", "P")


def is_picture(path: PathType) -> bool:
    """True when the file at ``path`` is a Quorvanel CG picture, judged by its content.

    The image filter looks at the file's header, as a host asks it. Raises
    OSError when the file cannot be read, TypeError for a path that is not
    str, bytes or os.PathLike.
    """
    path = fs_path(path)
    return _native.is_supported(_native.image_plugin, plugin_name(path) or b"", read_head(path))


def _accept(prefix: bytes) -> bool:
    return _native.is_supported(_native.image_plugin, b"", prefix)


def _set_mode(image: Image.Image, mode: str) -> None:
    # Pillow 10.1 made `mode` a read-only property over `_mode`.
    if isinstance(getattr(type(image), "mode", None), property):
        image._mode = mode
    else:
        image.mode = mode


def _tile(*fields: object) -> Tuple[object, ...]:
    tile_type = getattr(ImageFile, "_Tile", None)  # a named tuple from Pillow 11 on
    return tile_type(*fields) if tile_type is not None else tuple(fields)


class QcgImageFile(ImageFile.ImageFile):
    """A Quorvanel CG picture: mode ``L`` (8 bits per pixel) or ``RGB`` (24)."""

    format = FORMAT
    format_description = "Quorvanel CG"

    def _open(self) -> None:
        rc, info = _native.picture_info(self.fp.read(_HEADER_BYTES))
        if info is None:
            raise SyntaxError(_native.message(rc, _native.DOING_PICTURE_INFO))
        _set_mode(self, "L" if info.colour_depth == 8 else "RGB")
        self._size = (info.width, info.height)
        self.tile = [_tile(FORMAT, (0, 0) + self.size, 0, (info.colour_depth,))]


def _most_picture_bytes(width: int, height: int, bits: int) -> int:
    # The header and at most 13 bits per sample (a one-code run of 8-bit
    # codes), as the desktop adapters bound it: whatever follows is never
    # read, so a hostile file's tail costs no memory.
    samples = width * height * (bits // 8)
    return min(_HEADER_BYTES + (samples * 13 + 7) // 8 + 8, _native.MAX_MEMORY_SOURCE)


class _QcgDecoder(ImageFile.PyDecoder):
    _pulls_fd = True

    def decode(self, buffer: Union[bytes, memoryview]) -> Tuple[int, int]:
        (bits,) = self.args
        width, height = self.state.xsize, self.state.ysize
        most = _most_picture_bytes(width, height, bits)
        data = bytearray()
        while len(data) < most:
            piece = self.fd.read(min(_READ_PIECE, most - len(data)))
            if not piece:
                break
            data += piece
        if len(data) < _HEADER_BYTES:
            raise OSError(_native.message(_native.RC_READ_ERROR, _native.DOING_PICTURE))
        rc, header, rows = _native.decode_picture(data)
        if rc != _native.RC_OK:
            raise OSError(_native.message(rc, _native.DOING_PICTURE))
        if (header.width, header.height, header.bit_count) != (width, height, bits):
            raise OSError("the picture changed after it was opened")
        self.set_as_raw(rows, "L" if bits == 8 else "BGR")
        return -1, 0


def _save(image: Image.Image, fp: IO[bytes], filename: Union[str, bytes]) -> None:
    mode = image.mode
    alpha_palette = mode == "P" and getattr(image.palette, "mode", "RGB") == "RGBA"
    if alpha_palette or (mode in _KEYED_MODES and image.info.get("transparency") is not None):
        image = image.convert("RGBA")
        mode = "RGBA"
    if mode not in _SAVE_LAYOUTS:
        raise OSError(f"cannot write mode {mode} as {FORMAT}")
    convert_to, rawmode, channels, bits = _SAVE_LAYOUTS[mode]
    if convert_to is not None:
        image = image.convert(convert_to)
    samples = image.tobytes("raw", rawmode)
    try:
        encoded = _native.encode_picture(image.width, image.height, channels, bits, samples)
    except ValueError as error:
        raise OSError(f"cannot write this picture as {FORMAT}: {error}") from None
    fp.write(encoded)


def register() -> None:
    """Registers the format with Pillow (done when ``quorvanel`` is imported)."""
    Image.register_open(FORMAT, QcgImageFile, _accept)
    Image.register_decoder(FORMAT, _QcgDecoder)
    Image.register_save(FORMAT, _save)
    Image.register_extension(FORMAT, EXTENSION)
    Image.register_mime(FORMAT, MIME_TYPE)
