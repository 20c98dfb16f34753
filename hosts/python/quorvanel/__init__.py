"""Quorvanel CG pictures in Pillow, and Quorvanel Archives, through the Quorvanel plug-ins.

Importing the package registers the picture format with Pillow::

    import quorvanel
    from PIL import Image

    with Image.open("title.qcg") as picture:      # reads the header only
        picture.convert("RGB").save("title.png")  # load() decodes
    Image.open("title.png").save("copy.qcg")      # writes a Quorvanel CG picture

Pictures open as mode ``L`` (8 bits per pixel) or ``RGB`` (24), format
``QCG``, extension ``.qcg``, MIME type ``image/x-quorvanel-cg``, recognised
by content. ``Image.MAX_IMAGE_PIXELS`` is honoured from the header, before
anything is decoded. A damaged picture raises OSError on ``load()``; a file
that is not a picture raises ``UnidentifiedImageError`` from ``Image.open``.
Saving writes modes ``L`` and ``RGB`` as they are and converts the others as
``qrv encode`` does (alpha laid over white, 16-bit grey rounded to 8 bits,
palettes looked up).

Archives are read with :class:`Archive`::

    with quorvanel.Archive("data.dat") as archive:
        for entry in archive:
            print(entry.position, entry.size, entry.name)
        archive.extractall("out")

:func:`is_picture` and :func:`is_archive` tell the two formats by content.
Errors: :class:`FormatError` (a ValueError) for what is not, or no longer, a
Quorvanel Archive; OSError for what cannot be read or written; TypeError for
a path that is not str, bytes or os.PathLike.

Everything goes through the plug-ins' exports, called as a picture viewer
calls them; the package keeps nothing between calls but the loaded plug-ins.
"""

from ._archive import Archive, DuplicateNameWarning, Entry, FormatError, is_archive
from ._image import EXTENSION, FORMAT, MIME_TYPE, QcgImageFile, is_picture
from ._image import register as _register
from ._version import __version__

_register()
# Shown as quorvanel.Archive (not quorvanel._archive.Archive) in help, reprs
# and tracebacks.
for _public in (Archive, DuplicateNameWarning, Entry, FormatError, QcgImageFile):
    _public.__module__ = __name__
del _public

__all__ = [
    "Archive",
    "DuplicateNameWarning",
    "Entry",
    "EXTENSION",
    "FORMAT",
    "FormatError",
    "MIME_TYPE",
    "QcgImageFile",
    "is_archive",
    "is_picture",
    "__version__",
]
