"""Thumbnails of real files, judged by ffmpeg: the Annex B result must decode on its own to
the source's first key frame, at the source's size."""
from __future__ import annotations

import random
import re

import pytest

import _plexo
from media_tools import probe_errors, run, streams

TS_FILES = ["ts_bframes.ts", "ts_no_bframes.ts", "ts_multislice.ts"]
MP4_FILES = ["prog_faststart.mp4", "prog_moov_last.mp4", "prog_audio_first.mp4",
             "frag_default_base_moof.mp4", "frag_base_data_offset.mp4"]


def extract(name: str, data: bytes) -> bytes:
    if name.endswith(".ts"):
        return _plexo.extract_thumbnail_from_ts(data)
    return _plexo.extract_thumbnail_from_mp4(data)


def framemd5(*args: str) -> list[str]:
    result = run("ffmpeg", "-nostdin", "-v", "error", *args, "-f", "framemd5", "-")
    assert result.returncode == 0 and "error" not in result.stderr.lower(), result.stderr
    return [row.split(",")[-1].strip() for row in result.stdout.splitlines()
            if row and not row.startswith("#")]


@pytest.fixture(params=TS_FILES + MP4_FILES)
def thumbnail(request, fixture_bytes, ffmpeg, tmp_path):
    name = request.param
    source = tmp_path / name
    source.write_bytes(fixture_bytes(name))
    picture = tmp_path / "thumb.h264"
    picture.write_bytes(extract(name, source.read_bytes()))
    return source, picture


def test_the_thumbnail_decodes_alone_at_the_source_size(thumbnail, tmp_path):
    source, picture = thumbnail
    png = tmp_path / "thumb.png"
    result = run("ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", str(picture),
                 "-frames:v", "1", str(png))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    video = next(s for s in streams(source.read_bytes(), source.suffix) if s["codec_type"] == "video")
    shown = streams(png.read_bytes(), ".png")[0]
    assert (shown["width"], shown["height"]) == (video["width"], video["height"])


def test_the_thumbnail_is_the_sources_first_key_frame(thumbnail):
    source, picture = thumbnail
    ours = framemd5("-f", "h264", "-i", str(picture), "-frames:v", "1")
    first_key = framemd5("-skip_frame", "nokey", "-i", str(source), "-map", "0:v:0", "-frames:v", "1")
    assert len(ours) == 1 and ours == first_key


def test_every_slice_of_a_multi_slice_picture_is_there(fixture_bytes):
    out = _plexo.extract_thumbnail_from_ts(fixture_bytes("ts_multislice.ts"))
    slices, at = 0, 0
    while (at := out.find(b"\x00\x00\x01", at)) != -1:
        slices += (out[at + 3] & 0x1F) == 5
        at += 3
    assert slices == 4  # x264 slices=4


def test_the_video_track_is_chosen_over_an_audio_first_track(fixture_bytes):
    out = _plexo.extract_thumbnail_from_mp4(fixture_bytes("prog_audio_first.mp4"))
    types = [out[i + 4] & 0x1F for i in range(len(out) - 4) if out[i : i + 4] == b"\x00\x00\x00\x01"]
    assert types[:2] == [7, 8] and 5 in types


# ---- damaged files -------------------------------------------------------------------------


@pytest.mark.parametrize("name", TS_FILES + MP4_FILES)
def test_truncated_and_corrupted_files_give_a_picture_or_a_clear_error(name, fixture_bytes):
    data = fixture_bytes(name)
    rng = random.Random(name)
    cases = [data[:n] for n in (0, 7, 8, 100, 188 * 3, len(data) // 3, len(data) // 2, len(data) - 1)]
    for _ in range(60):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            damaged[rng.randrange(min(len(data), 4096))] = rng.randrange(256)
        cases.append(bytes(damaged))
    for case in cases:
        try:
            out = extract(name, case)
        except ValueError as error:
            assert isinstance(error.args[0], str) and error.args[0], "an error needs a message"
            continue
        # An Annex B stream with the parameter sets a decoder opens it with; from a transport
        # stream, the SPS first and an IDR slice after it.
        types = nal_types(out)
        assert out.startswith(b"\x00\x00\x00\x01") and {7, 8} <= set(types), types
        if name.endswith(".ts"):
            assert types[0] == 7 and 5 in types, types


def nal_types(stream: bytes) -> list[int]:
    """The NAL unit types of an Annex B stream, in order."""
    return [stream[m.end()] & 0x1F for m in re.finditer(b"\x00\x00\x01", stream) if m.end() < len(stream)]


@pytest.mark.parametrize("name", MP4_FILES)
def test_a_file_cut_before_its_key_frame_ends_reports_it(name, fixture_bytes):
    data = fixture_bytes(name)
    whole = _plexo.extract_thumbnail_from_mp4(data)
    for cut in (len(data) // 2, len(data) - 1):
        try:
            out = _plexo.extract_thumbnail_from_mp4(data[:cut])
        except ValueError as error:
            assert error.args[0] in ("Sample size exceeds mdat bounds", "Box moov not found",
                                     "Box mdat not found", "No key frame found in video track",
                                     "Invalid sample table")
        else:
            assert out == whole  # the key frame lay before the cut


# ---- 64-bit box headers ------------------------------------------------------------------

def with_large_mdat_header(data: bytes) -> bytes:
    """The 8-byte free box that ffmpeg writes before mdat merged into a 16-byte mdat header
    (size 1, then the 64-bit size): no byte after it moves."""
    at = data.index(b"free") - 4
    assert data[at:at + 4] == b"\x00\x00\x00\x08" and data[at + 12:at + 16] == b"mdat"
    size = int.from_bytes(data[at + 8:at + 12], "big")
    return data[:at] + (1).to_bytes(4, "big") + b"mdat" + (size + 8).to_bytes(8, "big") + data[at + 16:]


def test_a_64_bit_mdat_header_before_the_moov_gives_the_same_thumbnail(fixture_bytes, ffprobe):
    data = fixture_bytes("prog_moov_last.mp4")   # ftyp, free, mdat, moov
    large = with_large_mdat_header(data)
    assert len(large) == len(data)
    assert probe_errors(large) == ""
    assert [s["codec_type"] for s in streams(large)] == [s["codec_type"] for s in streams(data)]
    assert _plexo.extract_thumbnail_from_mp4(large) == _plexo.extract_thumbnail_from_mp4(data)
