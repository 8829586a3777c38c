"""Key frames as pictures (PNG, JPEG) through PyAV, the image extra."""
import builtins
import sys

import pytest

import plexo
from conftest import IN_CI
from media_tools import streams


@pytest.fixture(scope="module")
def av():
    try:
        import av
    except ImportError:
        if IN_CI:
            pytest.fail('PyAV is required in CI (pip install "plexo[image]")')
        pytest.skip('PyAV not installed (pip install "plexo[image]")')
    return av


SIGNATURES = {"png": b"\x89PNG\r\n\x1a\n", "jpeg": b"\xff\xd8\xff"}
CODECS = {"png": "png", "jpeg": "mjpeg"}


@pytest.mark.parametrize("fmt", ["png", "jpeg"])
@pytest.mark.parametrize("fixture, size", [("ts_bframes.ts", (320, 240)), ("ts_1080p.ts", (1920, 1080)),
                                           ("ts_interlaced.ts", (320, 240)),
                                           ("frag_gstreamer.mp4", (320, 240)),
                                           ("ts_hevc_main10.ts", (318, 238)), ("prog_hevc.mp4", (320, 240))])
def test_picture_has_the_display_size(av, ffprobe, fixture_bytes, fmt, fixture, size):
    picture = plexo.thumbnail_image(fixture_bytes(fixture), fmt, diagnostics=False)
    assert picture.startswith(SIGNATURES[fmt])
    (stream,) = streams(picture, ".png" if fmt == "png" else ".jpg")
    assert stream["codec_name"] == CODECS[fmt]
    assert (stream["width"], stream["height"]) == size


def test_picture_shows_the_key_frame(av, fixture_bytes):
    """The PNG holds the same pixels as a decode of the stream's first key frame."""
    data = fixture_bytes("ts_bframes.ts")
    png = plexo.thumbnail_image(data, "png", diagnostics=False)
    decoded = av.CodecContext.create("png", "r").decode(av.Packet(png))[0]
    reference = av.CodecContext.create("h264", "r")
    frame = (reference.decode(av.Packet(plexo.extract_thumbnail(data, diagnostics=False)))
             + reference.decode(None))[0]
    assert pixels(decoded) == pixels(frame)


def pixels(frame) -> list:
    """The RGB rows of a decoded frame, without the planes' padding."""
    plane = frame.reformat(format="rgb24").planes[0]
    data = bytes(plane)
    return [data[y * plane.line_size:y * plane.line_size + frame.width * 3] for y in range(frame.height)]


def test_unusable_media_and_formats(av):
    with pytest.raises(ValueError, match="No valid TS sync byte found"):
        plexo.thumbnail_image(b"", "png")
    with pytest.raises(ValueError, match="format must be 'png' or 'jpeg'"):
        plexo.thumbnail_image(b"", "gif")  # type: ignore[arg-type]


def test_a_missing_extra_is_named(monkeypatch, fixture_bytes):
    real_import = builtins.__import__

    def no_av(name, *args, **kwargs):
        if name == "av":
            raise ImportError("No module named 'av'")
        return real_import(name, *args, **kwargs)

    monkeypatch.delitem(sys.modules, "av", raising=False)
    monkeypatch.setattr(builtins, "__import__", no_av)
    with pytest.raises(plexo.ImageSupportMissing, match=r'pip install "\.\[image\]" in the plexo checkout'):
        plexo.thumbnail_image(fixture_bytes("ts_bframes.ts"), diagnostics=False)
    with pytest.raises(ImportError):
        plexo.thumbnail_file(str(__file__), "/nonexistent/never-written.png", format="png")
