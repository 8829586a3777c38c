"""Pictures from key frames: the extension hands over the coded picture, PyAV decodes it and
encodes a PNG or JPEG. PyAV is the optional ``image`` extra (``pip install ".[image]"`` in the
checkout)."""
from __future__ import annotations

from fractions import Fraction
from typing import Any, Literal, Optional

from ._core import BytesLike, Diagnostics, extract_thumbnail

ImageFormat = Literal["png", "jpeg"]

# Encoder and pixel layout per picture format.
_ENCODERS = {"png": ("png", "rgb24"), "jpeg": ("mjpeg", "yuvj420p")}

#: The largest picture decoded by default (4096x4096): an 8192x8192 key frame would take over
#: a gigabyte to decode and convert.
MAX_PIXELS = 4096 * 4096

MISSING_EXTRA = ('PNG and JPEG thumbnails need PyAV, which is not installed: '
                 'pip install ".[image]" in the plexo checkout (or pip install av)')


class ImageSupportMissing(ImportError):
    """Raised when a picture is asked for and PyAV (the ``image`` extra) is missing."""


def _av() -> Any:
    try:
        import av
    except ImportError as exc:
        raise ImageSupportMissing(MISSING_EXTRA) from exc
    return av


def _decoder_name(coded: bytes) -> str:
    """"hevc" when the Annex B stream opens with an HEVC VPS (as every HEVC thumbnail does),
    else "h264" (whose thumbnails open with an SPS)."""
    header = coded.find(b"\x00\x00\x01") + 3
    return "hevc" if 2 < header < len(coded) and coded[header] >> 1 & 0x3F == 32 else "h264"


def _scaled_height(width: int, height: int, to_width: int) -> int:
    """The height that keeps a ``width`` x ``height`` picture's shape at ``to_width``: even,
    at least 2."""
    return max(2, round(height * to_width / width / 2) * 2)


def encode_picture(coded: bytes, format: ImageFormat = "jpeg", *,
                   max_pixels: int = MAX_PIXELS, width: Optional[int] = None) -> bytes:
    """Decode the first picture of an Annex B H.264 or HEVC stream and encode it as PNG or JPEG,
    ``width`` pixels wide when given (the height keeping the picture's shape, rounded to even).

    The decoder refuses pictures of more than ``max_pixels`` pixels before allocating them, and
    the scaled picture may not exceed them either.
    Raises ``ValueError`` for an unknown format, a width below 1, a picture over the bound or
    when no picture decodes, and :class:`ImageSupportMissing` without PyAV.
    """
    if format not in _ENCODERS:
        raise ValueError(f"format must be 'png' or 'jpeg', not {format!r}")
    if width is not None and width < 1:
        raise ValueError(f"width must be at least 1, not {width}")
    av = _av()
    decoder = av.CodecContext.create(_decoder_name(coded), "r")
    decoder.options = {"max_pixels": str(max_pixels)}
    try:
        # The thumbnail is one access unit: one packet, then a flush.
        frames = list(decoder.decode(av.Packet(coded))) + list(decoder.decode(None))
    except av.error.FFmpegError as exc:
        width, height = decoder.width, decoder.height
        if width * height > max_pixels:
            raise ValueError(f"The key frame is {width}x{height}, more than max_pixels="
                             f"{max_pixels}; pass a larger max_pixels to decode it") from None
        raise ValueError(f"The key frame could not be decoded: {exc}") from None
    if not frames:
        raise ValueError("The key frame could not be decoded")
    codec, pixels = _ENCODERS[format]
    size = {}
    if width is not None:
        size = {"width": width,
                "height": _scaled_height(frames[0].width, frames[0].height, width)}
        if size["width"] * size["height"] > max_pixels:
            raise ValueError(f"A picture {size['width']}x{size['height']} is more than "
                             f"max_pixels={max_pixels}")
    picture = frames[0].reformat(format=pixels, **size)
    encoder = av.CodecContext.create(codec, "w")
    encoder.width, encoder.height = picture.width, picture.height
    encoder.pix_fmt = pixels
    encoder.time_base = Fraction(1, 25)
    packets = list(encoder.encode(picture)) + list(encoder.encode(None))
    return b"".join(bytes(packet) for packet in packets)


def thumbnail_image(data: BytesLike, format: ImageFormat = "jpeg", *,
                    diagnostics: Diagnostics = None, max_pixels: int = MAX_PIXELS,
                    width: Optional[int] = None) -> bytes:
    """The first key frame of a transport stream or MP4 as a PNG or JPEG picture.

    Needs PyAV (``pip install ".[image]"`` in the checkout); raises :class:`ImageSupportMissing` (an
    ``ImportError``) with that advice when it is missing, ``ValueError`` for unusable media
    or an unknown format. ``diagnostics`` as for :func:`plexo.convert_ts_to_mp4`.
    Pictures of more than ``max_pixels`` pixels (4096x4096 by default) are refused with a
    ``ValueError`` before they are decoded, which bounds the memory one call takes.
    ``width`` scales the picture to that many pixels across, keeping its shape (the height
    rounded to even).
    """
    if format not in _ENCODERS:
        raise ValueError(f"format must be 'png' or 'jpeg', not {format!r}")
    _av()  # fail before the media work when the extra is missing
    return encode_picture(extract_thumbnail(data, diagnostics=diagnostics), format,
                          max_pixels=max_pixels, width=width)
