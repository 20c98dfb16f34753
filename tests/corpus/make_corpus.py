#!/usr/bin/env python3
"""Writes the malformed-input corpus: one minimal file per rule of the picture
header, the sample stream, the entry header, names and end marks, each a valid
file with one thing broken, and expected.txt with each export's answer.

The files are checked in; rerun this after changing a case:
    python3 tests/corpus/make_corpus.py tests/corpus
"""
import os
import struct
import sys

# ---- pictures -------------------------------------------------------------


def map_neighbour(p, c):
    q = p if p <= 127 else 255 - p
    if c <= 2 * q:
        x = q + (c + 1) // 2 if c % 2 else q - c // 2
    else:
        x = c
    return x if p <= 127 else 255 - x


def code_for(p, value):
    return next(c for c in range(256) if map_neighbour(p, c) == value)


class Bits:
    def __init__(self):
        self.bits = []

    def put(self, value, count):
        for i in range(count - 1, -1, -1):
            self.bits.append((value >> i) & 1)

    def run(self, width_field, length):
        """A run header: the width field, then the length as prefix and suffix."""
        self.put(width_field, 3)
        k = (length + 1).bit_length() - 1
        self.put(1, k)  # k - 1 zeros and a one
        self.put(length + 1 - (1 << k), k)

    def words(self, whole=True):
        bits = self.bits + [0] * (-len(self.bits) % (32 if whole else 8))
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def channel(bits, samples):
    """One row-channel as a single run of 8-bit codes."""
    bits.run(7, len(samples))
    previous = None
    for s in samples:
        bits.put(s if previous is None else code_for(previous, s), 8)
        previous = s


def header(width, height, depth, stored=None):
    if stored is None:
        stored = width * height * (depth // 8)
    return struct.pack("<I", stored) + b"QRV" + struct.pack(">HHB", width, height, depth)


def stream(width, height, depth, seed=1):
    bits = Bits()
    for r in range(height):
        for c in range(depth // 8):
            channel(bits, [(seed * 37 + r * 11 + c * 50 + x * 3) % 256 for x in range(width)])
    return bits


def picture(width, height, depth, **kw):
    return header(width, height, depth, **kw) + stream(width, height, depth).words()


# ---- archives -------------------------------------------------------------


def entry(name, data, second=0, size=None, name_length=None):
    size = len(data) if size is None else size
    name_length = len(name) if name_length is None else name_length
    return struct.pack("<IIH", size, second, name_length) + name + data


END = b"\0\0\0\0"
TWO = entry(b"abc", bytes(range(100))) + entry(b"de_9f", b"1234567")

# Each case: (file, bytes, expectations). Results are code names without the
# RC_ prefix; a|b allows either (where the platform decides, e.g. whether a
# huge block can be had). GetFileInfo:NAME looks NAME up; /i ignores case.
IMAGE = [
    ("valid_1x1_8bit.qcg", bytes.fromhex("01000000") + b"QRV" + bytes.fromhex("000100010 8f4000000".replace(" ", "")),
     "IsSupported=1 GetPictureInfo=OK GetPicture=OK"),
    ("valid_3x2_24bit.qcg", picture(3, 2, 24), "IsSupported=1 GetPictureInfo=OK GetPicture=OK"),
    ("valid_trailing_bytes.qcg", picture(5, 3, 8) + b"\xff" * 9,
     "IsSupported=1 GetPictureInfo=OK GetPicture=OK"),
    ("empty.qcg", b"", "IsSupported=0 GetPictureInfo=READ_ERROR GetPicture=READ_ERROR"),
    ("header_cut_at_11.qcg", picture(2, 2, 8)[:11],
     "IsSupported=0 GetPictureInfo=READ_ERROR GetPicture=READ_ERROR"),
    ("header_cut_at_4.qcg", picture(2, 2, 8)[:4],
     "IsSupported=0 GetPictureInfo=READ_ERROR GetPicture=READ_ERROR"),
    ("signature_lower_case.qcg", picture(2, 2, 8).replace(b"QRV", b"qrv", 1),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("signature_shifted.qcg", b"\0" + picture(2, 2, 8),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("depth_1.qcg", header(2, 2, 1, stored=0) + stream(2, 2, 8).words(),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("depth_16.qcg", header(2, 2, 16, stored=0) + stream(2, 2, 8).words(),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("depth_32.qcg", header(2, 2, 32, stored=0) + stream(2, 2, 24).words(),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("width_zero.qcg", header(0, 2, 8, stored=0) + stream(1, 2, 8).words(),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("height_zero.qcg", header(2, 0, 8, stored=0) + stream(2, 1, 8).words(),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    ("stored_size_one_over.qcg", picture(2, 2, 24, stored=13),
     "IsSupported=0 GetPictureInfo=UNKNOWN_FORMAT GetPicture=UNKNOWN_FORMAT"),
    # 34179 x 41887 x 3 wraps to 23 in 32 bits; the limit is taken without the
    # wrap, so a stored size of 24 is within it. The pixel block would need
    # 2^32 bytes or more, so decoding refuses it before allocating anything.
    ("stored_size_above_wrapped_product.qcg", header(34179, 41887, 24, stored=24),
     "IsSupported=1 GetPictureInfo=OK GetPicture=NO_MEMORY"),
    # A valid header whose pixel block needs 2^32 bytes or more: refused before
    # any block is allocated.
    ("pixel_block_past_32_bits.qcg", header(65535, 65535, 24, stored=0),
     "IsSupported=1 GetPictureInfo=OK GetPicture=NO_MEMORY"),
    ("stream_missing.qcg", header(4, 4, 8),
     "IsSupported=1 GetPictureInfo=OK GetPicture=READ_ERROR"),
    ("stream_cut_in_last_row.qcg", picture(8, 3, 24)[:-8],
     "IsSupported=1 GetPictureInfo=OK GetPicture=READ_ERROR"),
    ("stream_all_zero_prefix.qcg", header(4, 4, 8) + b"\0" * 16,
     "IsSupported=1 GetPictureInfo=OK GetPicture=UNKNOWN_FORMAT"),
]


def run_past_end():
    bits = Bits()
    bits.run(0, 5)  # a zero run of 5 in a row-channel of 4
    return header(4, 1, 8) + bits.words()


def run_into_padding():
    bits = Bits()
    bits.run(7, 3)  # three codes for a channel of a 2-pixel row: the third
    for code in (9, 1, 1):  # would land in the row's padding bytes
        bits.put(code, 8)
    return header(2, 1, 24) + bits.words()


IMAGE += [
    ("run_past_channel_end.qcg", run_past_end(),
     "IsSupported=1 GetPictureInfo=OK GetPicture=UNKNOWN_FORMAT"),
    ("run_into_row_padding_24bit.qcg", run_into_padding(),
     "IsSupported=1 GetPictureInfo=OK GetPicture=UNKNOWN_FORMAT"),
]

ARCHIVE = [
    ("valid_two_entries.dat", TWO + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:de_9f=OK GetFileInfo:DE_9F=READ_ERROR "
     "GetFileInfo/i:DE_9F=OK GetFileInfo:absent=READ_ERROR GetFile=OK"),
    ("empty.dat", b"",
     "IsSupported=0 GetArchiveInfo=READ_ERROR GetFileInfo:a=READ_ERROR GetFile=READ_ERROR"),
    ("only_end_mark.dat", END,
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:a=UNKNOWN_FORMAT "
     "GetFile=UNKNOWN_FORMAT"),
    ("header_cut_at_5.dat", TWO[:5],
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=UNKNOWN_FORMAT "
     "GetFile=UNKNOWN_FORMAT"),
    ("header_cut_at_9.dat", TWO[:9],
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=UNKNOWN_FORMAT "
     "GetFile=UNKNOWN_FORMAT"),
    ("data_size_zero.dat", entry(b"abc", b"", size=0) + END,
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=UNKNOWN_FORMAT "
     "GetFile=UNKNOWN_FORMAT"),
    ("name_length_zero.dat", entry(b"", b"xyz") + END,
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=UNKNOWN_FORMAT "
     "GetFile=UNKNOWN_FORMAT"),
    ("second_entry_size_zero.dat", entry(b"abc", b"12345") + entry(b"b", b"", size=0) + END,
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=OK GetFileInfo:b=UNKNOWN_FORMAT "
     "GetFile=OK"),
    ("name_cut_short.dat", struct.pack("<IIH", 5, 0, 6) + b"abc",
     "IsSupported=0 GetArchiveInfo=READ_ERROR GetFileInfo:abc=READ_ERROR GetFile=READ_ERROR"),
    ("data_cut_short.dat", entry(b"abc", bytes(100))[:60],
     "IsSupported=1 GetArchiveInfo=READ_ERROR GetFileInfo:abc=OK GetFileInfo:x=READ_ERROR "
     "GetFile=READ_ERROR"),
    ("no_end_mark.dat", TWO,
     "IsSupported=1 GetArchiveInfo=READ_ERROR GetFileInfo:de_9f=OK GetFileInfo:x=READ_ERROR "
     "GetFile=OK"),
    ("end_mark_then_nonzero.dat", TWO + END + b"\0\0\0\0\0\x01",
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:x=UNKNOWN_FORMAT "
     "GetFileInfo:abc=OK GetFile=OK"),
    # 2^31 bytes of data cannot be passed by a forward seek.
    ("data_size_2gib.dat", entry(b"abc", b"", size=0x80000000) + END,
     "IsSupported=1 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:x=UNKNOWN_FORMAT "
     "GetFile=NO_MEMORY|READ_ERROR"),
]

# The head: IsSupported sees the first 2048 bytes only.
STRADDLE = entry(b"first", bytes(2048 - 15 - 12)) + entry(b"straddle", b"12")
ENDS_AT_HEAD = entry(b"first", bytes(2048 - 15 - 12)) + entry(b"b", b"x")
ARCHIVE += [
    ("head_second_name_straddles_2048.dat", STRADDLE + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:straddle=OK GetFile=OK"),
    ("head_entries_end_at_2048.dat", ENDS_AT_HEAD + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:b=OK GetFile=OK"),
    ("head_second_header_straddles_2048.dat",
     entry(b"first", bytes(2044 - 15)) + entry(b"second", b"12") + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:second=OK GetFile=OK"),
    # The byte before 2048 already breaks the name rule.
    ("head_cut_name_with_upper_case.dat",
     entry(b"first", bytes(2030 - 15)) + entry(b"cccCcccccccccccccccc", b"12") + END,
     "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:first=OK GetFile=OK"),
    ("head_first_entry_5000_bytes.dat", entry(b"big", bytes(5000)) + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:big=OK GetFile=OK"),
    ("name_65535_characters.dat", entry(b"n" * 65535, b"xy") + END,
     "IsSupported=1 GetArchiveInfo=OK GetFileInfo:n=READ_ERROR GetFile=OK GetFileToDir=INTERNAL_ERROR"),
]

for bad, label in [(b"A", "upper_case"), (b".", "dot"), (b" ", "space"), (b"-", "hyphen"),
                   (b"/", "slash"), (b"\\", "backslash"), (b"\0", "zero_byte"),
                   (b"\xe9", "high_byte")]:
    ARCHIVE.append((f"name_{label}.dat", entry(b"ab" + bad + b"c", b"12345") + END,
                    "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:abc=UNKNOWN_FORMAT "
                    "GetFile=UNKNOWN_FORMAT"))
    ARCHIVE.append((f"second_name_{label}.dat",
                    entry(b"ok", b"12") + entry(b"x" + bad, b"12345") + END,
                    "IsSupported=0 GetArchiveInfo=UNKNOWN_FORMAT GetFileInfo:ok=OK "
                    "GetFileInfo:x=UNKNOWN_FORMAT GetFile=OK"))


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    lines = ["# Malformed-input corpus: file, then each export's expected answer.",
             "# Written by make_corpus.py; IsSupported answers 1 or 0, the others a",
             "# result code without RC_ (a|b: either). GetFileInfo:NAME looks NAME",
             "# up, GetFileInfo/i:NAME ignoring case. GetFile extracts the entry at",
             "# the archive's start into memory, GetFileToDir into a directory",
             "# (by default as GetFile)."]
    for kind, cases in (("image", IMAGE), ("archive", ARCHIVE)):
        os.makedirs(os.path.join(root, kind), exist_ok=True)
        for name, data, expect in cases:
            with open(os.path.join(root, kind, name), "wb") as out:
                out.write(data)
            lines.append(f"{kind}/{name} {expect}")
    with open(os.path.join(root, "expected.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
