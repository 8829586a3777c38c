"""HEVC files made by ffmpeg with libx265 through every operation, judged by ffprobe and
ffmpeg: the converted file's hvc1 entry carries the hvcC ffmpeg itself writes, thumbnails
decode to the source's first key frame, and the fragment operations, blind to the codec,
keep every picture at its time."""
from __future__ import annotations

import functools

import pytest

import _plexo
import media_tools as mt
import plexo
from builders import box_payload, iter_boxes

TS = ["ts_hevc_bframes.ts", "ts_hevc_main10.ts", "ts_hevc_no_aud.ts"]
FRAGMENTED = ["frag_hevc_hev1.mp4", "frag_hevc_hvc1.mp4"]
HVCC = "moov/trak/mdia/minf/stbl/stsd/hvc1/hvcC"


def suffix(name: str) -> str:
    return "." + name.rsplit(".", 1)[1]


@functools.lru_cache(maxsize=None)
def converted(source: bytes) -> bytes:
    return _plexo.convert_ts_to_mp4(source)


@pytest.mark.parametrize("name", TS)
def test_the_hvc1_entry_carries_the_hvcc_ffmpeg_writes(fixture_bytes, ffmpeg, tmp_path, name):
    source = fixture_bytes(name)
    (tmp_path / "in.ts").write_bytes(source)
    result = mt.run("ffmpeg", "-nostdin", "-v", "error", "-i", str(tmp_path / "in.ts"), "-map", "0:v",
                    "-c", "copy", "-tag:v", "hvc1", str(tmp_path / "ref.mp4"))
    assert result.returncode == 0, result.stderr
    assert box_payload(converted(source), HVCC) == box_payload((tmp_path / "ref.mp4").read_bytes(), HVCC)


@pytest.mark.parametrize("name", TS + FRAGMENTED + ["prog_hevc.mp4"])
def test_the_thumbnail_is_the_first_key_frame(fixture_bytes, ffmpeg, name):
    source = fixture_bytes(name)
    first = mt.framemd5(source, "0:v:0", suffix(name))[:1]
    thumbnails = [plexo.extract_thumbnail(source, diagnostics=False)]
    if name.endswith(".ts"):
        thumbnails.append(_plexo.extract_thumbnail_from_mp4(converted(source)))
    for thumbnail in thumbnails:
        assert mt.decode_errors(thumbnail, ".hevc") == ""
        assert mt.framemd5(thumbnail, "0:v:0", ".hevc") == first


def halves(data: bytes, tmp_path) -> tuple[bytes, bytes]:
    """The video and the audio of a fragmented file, as separate fragmented files (ffmpeg)."""
    (tmp_path / "in.mp4").write_bytes(data)
    out = []
    for kind, track_id in (("v", "1"), ("a", "2")):
        path = tmp_path / f"{kind}.mp4"
        result = mt.run("ffmpeg", "-nostdin", "-v", "error", "-i", str(tmp_path / "in.mp4"), "-map", f"0:{kind}",
                        "-c", "copy", "-streamid", f"0:{track_id}", "-use_stream_ids_as_track_ids", "1",
                        "-movflags", "frag_keyframe+empty_moov+default_base_moof", str(path))
        assert result.returncode == 0, result.stderr
        out.append(path.read_bytes())
    return out[0], out[1]


def live(data: bytes) -> bytes:
    """The file fed to a live rebaser as an init segment and one segment per moof/mdat pair."""
    boxes = [(kind, data[o:o + s]) for kind, o, s, _ in iter_boxes(data)]
    init = b"".join(b for kind, b in boxes if kind in ("ftyp", "moov"))
    segments, current = [], b""
    for kind, b in boxes:
        if kind == "moof" and current:
            segments.append(current)
            current = b""
        if kind in ("moof", "mdat"):
            current += b
    segments.append(current)
    processor = _plexo.FragmentedMP4Processor()
    processor.set_init_segment(init)
    return init + b"".join(processor.process_segment(s) for s in segments)


OPERATIONS = {
    "defragment": lambda data, tmp: _plexo.defragment_mp4(data),
    "reset": lambda data, tmp: _plexo.reset_mp4_timestamps(data),
    "convert-reset": lambda data, tmp: _plexo.convert_mp4_reset_timestamps(data),
    "mux": lambda data, tmp: _plexo.mux_fmp4_tracks(*halves(data, tmp)),
    "live": lambda data, tmp: live(data),
}


@pytest.mark.parametrize("operation", list(OPERATIONS))
@pytest.mark.parametrize("name", FRAGMENTED)
def test_fragment_operations_keep_every_picture(fixture_bytes, ffmpeg, ffprobe, tmp_path, name, operation):
    source = fixture_bytes(name)
    out = OPERATIONS[operation](source, tmp_path)
    assert mt.differences(source, ".mp4", out) == []
    assert mt.streams(out)[0]["codec_tag_string"] == name[10:14]


@pytest.mark.parametrize("name, profile, size", [
    ("ts_hevc_bframes.ts", "Main", (320, 240)), ("ts_hevc_main10.ts", "Main 10", (318, 238)),
    ("frag_hevc_hev1.mp4", "Main", (320, 240)),
])
def test_probe_names_the_codec_profile_and_size(fixture_bytes, name, profile, size):
    (video, audio) = plexo.probe(fixture_bytes(name))["tracks"]
    codec = "hev1" if "hev1" in name else "hvc1"
    assert (video["codec"], video["profile"], video["width"], video["height"]) == (codec, profile, *size)
    assert audio["codec"] == "mp4a" and "profile" not in audio


def test_a_video_track_of_another_codec_is_refused_by_name(fixture_bytes):
    # the only video track's entry renamed: no bytes a decoder cannot open come back
    data = fixture_bytes("prog_hevc.mp4").replace(b"hvc1", b"vvc1").replace(b"hvcC", b"vvcC")
    with pytest.raises(ValueError, match=r"^Unsupported video track: vvc1 \(only H.264 and HEVC video give thumbnails\)$"):
        _plexo.extract_thumbnail_from_mp4(data)


@pytest.mark.parametrize("at, value", [(22, 0xFF), (21, 0xFE)], ids=["255-arrays", "length-size-3"])
def test_an_unreadable_hvcc_gives_no_undecodable_thumbnail(fixture_bytes, at, value):
    data = bytearray(fixture_bytes("prog_hevc.mp4"))
    data[data.index(b"hvcC") + 4 + at] = value
    with pytest.raises(ValueError, match="^Key frame has no VPS, SPS and PPS: neither its sample entry nor its sample holds them$"):
        _plexo.extract_thumbnail_from_mp4(bytes(data))
