"""Quorvanel CG pictures through Pillow, held to qrv's answers for the same files."""
import io
import warnings

import numpy
import pytest
import quorvanel
from PIL import Image, UnidentifiedImageError

from conftest import encode, run_qrv, samples

# Odd widths (rows padded in the filter's bitmap), 1-pixel edges, and pictures
# bigger than a thumbnail.
PICTURES = [("L", 1, 1), ("L", 7, 5), ("L", 33, 17), ("L", 255, 9),
            ("RGB", 1, 1), ("RGB", 5, 3), ("RGB", 37, 21), ("RGB", 3, 40), ("RGB", 161, 97)]


def picture(mode, width, height, seed=1):
    return Image.frombytes(mode, (width, height), samples(width * height * len(mode), seed))


@pytest.mark.parametrize("mode, width, height", PICTURES)
def test_pictures_decode_as_qrv_converts_them(tmp_path, mode, width, height):
    source = picture(mode, width, height, seed=width)
    path = encode(tmp_path, source, "picture")
    run_qrv("convert", path, tmp_path / "qrv.png")
    # By content alone: a file object with no name.
    with Image.open(io.BytesIO(path.read_bytes())) as image, \
            Image.open(tmp_path / "qrv.png") as reference:
        assert (image.format, image.mode, image.size) == ("QCG", mode, (width, height))
        assert image.get_format_mimetype() == "image/x-quorvanel-cg"
        assert reference.mode == mode
        assert image.tobytes() == reference.tobytes() == source.tobytes()
        assert numpy.array_equal(numpy.asarray(image), numpy.asarray(reference))
        image.convert("RGB").save(tmp_path / "again.png")
        with Image.open(tmp_path / "again.png") as again:
            assert again.tobytes() == reference.convert("RGB").tobytes()
        image.thumbnail((16, 16))
        assert max(image.size) <= 16


def with_bytes(data, at, value):
    return data[:at] + value + data[at + len(value):]


# A valid 37 x 21 24-bit picture changed one way each; None where Image.open
# must succeed from the header alone and load() must fail in qrv's words.
DAMAGED = [
    ("not_a_picture", lambda d: b"plain text, not a picture\n" * 4, UnidentifiedImageError),
    ("bad_signature", lambda d: with_bytes(d, 6, b"X"), UnidentifiedImageError),
    ("bad_depth", lambda d: with_bytes(d, 11, b"\x10"), UnidentifiedImageError),
    ("zero_width", lambda d: with_bytes(d, 7, b"\0\0"), UnidentifiedImageError),
    ("stored_size_too_big", lambda d: with_bytes(d, 0, (37 * 21 * 3 + 1).to_bytes(4, "little")),
     UnidentifiedImageError),
    ("header_cut", lambda d: d[:9], UnidentifiedImageError),
    ("header_only", lambda d: d[:12], None),
    ("rows_cut", lambda d: d[:len(d) * 3 // 5], None),
    ("stream_damaged", lambda d: d[:12] + bytes(64), None),
]


@pytest.mark.parametrize("name, change, open_error", DAMAGED, ids=[row[0] for row in DAMAGED])
def test_damaged_pictures_fail_as_in_qrv(tmp_path, name, change, open_error):
    good = encode(tmp_path, picture("RGB", 37, 21), "good").read_bytes()
    path = tmp_path / (name + ".qcg")
    path.write_bytes(change(good))
    qrv = run_qrv("convert", path, tmp_path / "out.png", check=False)
    assert qrv.returncode != 0
    assert quorvanel.is_picture(path) == (open_error is None)
    if open_error is not None:
        with pytest.raises(open_error):
            Image.open(path)
        return
    with Image.open(path) as image:
        assert image.size == (37, 21)
        with pytest.raises(OSError) as failure:
            image.load()
    # The same words as qrv's message, "qrv: PATH: WORDS".
    assert qrv.stderr.decode().strip().endswith(": " + str(failure.value))


# Pictures of WIDTH x HEIGHT opened under a pixel limit (None: Pillow's
# default), and what Image.open does: Pillow's own rule for its own formats.
BOMBS = [
    (60000, 60000, None, Image.DecompressionBombError),
    (50, 50, 1000, Image.DecompressionBombError),
    (40, 30, 1000, Image.DecompressionBombWarning),
    (30, 30, 1000, None),
]


@pytest.mark.parametrize("width, height, limit, outcome", BOMBS)
def test_pixel_limit_is_checked_from_the_header(tmp_path, monkeypatch, width, height, limit,
                                                 outcome):
    if limit is not None:
        monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", limit)
    small = encode(tmp_path, picture("RGB", 2, 2), "small").read_bytes()
    # The header claims the size; the samples stay those of a 2 x 2 picture.
    header = with_bytes(small, 7, width.to_bytes(2, "big") + height.to_bytes(2, "big"))
    path = tmp_path / "claimed.qcg"
    path.write_bytes(header)
    with warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        if outcome is None:
            with Image.open(path) as image:
                assert image.size == (width, height)
        else:
            with pytest.raises(outcome):
                Image.open(path)


def keyed(make):
    """`make`'s picture with one of its own colours as its transparent colour."""
    def keyed_picture():
        image = make()
        image.info["transparency"] = image.getpixel((3, 0))
        return image
    return keyed_picture


def indexed(rawmode="RGB"):
    image = Image.frombytes("P", (19, 7), samples(19 * 7, 3))
    image.putpalette(samples(256 * len(rawmode), 4), rawmode)
    return image


# Pictures of every mode a PNG file can hold, saved by Pillow both as PNG and
# as QCG: the QCG must be byte for byte what `qrv encode` makes of the PNG.
SAVED_LIKE_QRV_ENCODE = [
    ("L", lambda: picture("L", 19, 7)),
    ("RGB", lambda: picture("RGB", 19, 7)),
    ("LA", lambda: picture("LA", 19, 7)),
    ("RGBA", lambda: picture("RGBA", 19, 7)),
    ("1", lambda: picture("L", 19, 7).convert("1")),
    ("P", indexed),
    ("P_keyed", keyed(indexed)),
    ("P_alpha_palette", lambda: indexed("RGBA")),
    ("L_keyed", keyed(lambda: picture("L", 19, 7))),
    ("RGB_keyed", keyed(lambda: picture("RGB", 19, 7))),
    ("I", lambda: Image.frombytes("I;16B", (19, 7), samples(19 * 7 * 2, 6)).convert("I")),
]


@pytest.mark.parametrize("name, make", SAVED_LIKE_QRV_ENCODE,
                         ids=[row[0] for row in SAVED_LIKE_QRV_ENCODE])
def test_save_writes_what_qrv_encode_writes(tmp_path, name, make):
    expected = encode(tmp_path, make(), "expected")
    make().save(tmp_path / "saved.qcg")
    assert (tmp_path / "saved.qcg").read_bytes() == expected.read_bytes()
    with Image.open(tmp_path / "saved.qcg") as back:
        back.load()
        assert back.mode in ("L", "RGB")


# Modes no PNG holds: converted by Pillow, or refused with nothing written.
OTHER_MODES = [
    ("CMYK", lambda: picture("RGB", 9, 4).convert("CMYK"), None),
    ("YCbCr", lambda: picture("RGB", 9, 4).convert("YCbCr"), None),
    ("F", lambda: picture("L", 9, 4).convert("F"), OSError),
    ("too_wide", lambda: Image.new("L", (70000, 1)), OSError),
]


@pytest.mark.parametrize("name, make, error", OTHER_MODES, ids=[row[0] for row in OTHER_MODES])
def test_save_converts_or_refuses_other_modes(tmp_path, name, make, error):
    path = tmp_path / "saved.qcg"
    if error is not None:
        with pytest.raises(error):
            make().save(path)
        assert not path.exists()
        return
    make().save(path)
    with Image.open(path) as back:
        assert back.tobytes() == make().convert("RGB").tobytes()
