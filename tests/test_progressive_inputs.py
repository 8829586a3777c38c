"""Progressive MP4 inputs of mux and reset, made by ffmpeg: two ordinary files (one video, one
audio) join into one movie whose packets, times and A/V offset are the inputs'; an input without
samples is refused by name; a file that starts at 100 s (an empty edit, progressive or
fragmented) is reset so that presentation starts at zero with the tracks' offset kept."""
from __future__ import annotations

import os

import pytest

import media_tools
import plexo
from plexo._cli import main
from builders import FTYP, box, find_box, moov, trak, trex
from conftest import FIXTURES

VIDEO, AUDIO = "prog_video_only.mp4", "prog_audio_only.mp4"


def stream(data: bytes, kind: str) -> dict:
    return next(s for s in media_tools.streams(data) if s["codec_type"] == kind)


def start(data: bytes, kind: str) -> float:
    return float(stream(data, kind)["start_time"])


@pytest.fixture(scope="module")
def joined(fixture_bytes):
    video, audio = fixture_bytes(VIDEO), fixture_bytes(AUDIO)
    return video, audio, plexo.mux_fmp4_tracks(video, audio)


# ---- joining progressive files ---------------------------------------------------------------

def test_progressive_video_and_audio_join_with_every_packet(joined, ffprobe):
    video, audio, out = joined
    assert media_tools.probe_errors(out) == "" and media_tools.decode_errors(out) == ""
    for kind, source in (("v:0", video), ("a:0", audio)):
        before, after = media_tools.packets(source, "0"), media_tools.packets(out, kind)
        assert len(after) == len(before) > 0
        assert [(p["pts_time"], p["dts_time"], p["size"], p["data_hash"], p["flags"]) for p in after] == \
               [(p["pts_time"], p["dts_time"], p["size"], p["data_hash"], p["flags"]) for p in before]


def test_progressive_join_keeps_the_a_v_offset(joined, ffprobe):
    video, audio, out = joined
    assert start(out, "audio") - start(out, "video") == \
        pytest.approx(start(audio, "audio") - start(video, "video"), abs=1e-3)


def test_a_late_progressive_audio_keeps_its_start_and_the_movie_covers_it(fixture_bytes, ffprobe):
    video, audio = fixture_bytes(VIDEO), fixture_bytes("prog_audio_late.mp4")
    out = plexo.mux_fmp4_tracks(video, audio)
    assert start(out, "audio") == pytest.approx(start(audio, "audio"), abs=1e-3) == pytest.approx(0.5)
    audio_end = start(audio, "audio") + float(stream(audio, "audio")["duration"])
    movie = float(media_tools.probe(out, ".mp4", "-show_format")["format"]["duration"])
    assert movie == pytest.approx(max(2.0, audio_end), abs=1e-3)


def test_the_file_path_joins_progressive_files_as_memory_does(joined, tmp_path):
    _, _, out = joined
    target = tmp_path / "joined.mp4"
    plexo.mux_files(FIXTURES / VIDEO, FIXTURES / AUDIO, target)
    assert target.read_bytes() == out


def test_the_cli_joins_progressive_files(joined, tmp_path):
    _, _, out = joined
    target = tmp_path / "joined.mp4"
    assert main(["mux", str(FIXTURES / VIDEO), str(FIXTURES / AUDIO), str(target)]) == 0
    assert target.read_bytes() == out


def test_an_init_segment_without_fragments_is_refused_naming_its_input(fixture_bytes):
    init = FTYP + moov(trak(1, 48000, handler="soun"), trexes=(trex(1),))
    with pytest.raises(ValueError, match="^The audio input holds no samples for track 1$"):
        plexo.mux_fmp4_tracks(fixture_bytes(VIDEO), init)
    with pytest.raises(ValueError, match="^The video input holds no samples for track 1$"):
        plexo.mux_fmp4_tracks(init, fixture_bytes(AUDIO))


def test_a_sample_outside_the_media_data_is_refused(fixture_bytes):
    audio = bytearray(fixture_bytes(AUDIO))
    at, size, header = find_box(bytes(audio), "mdat")
    cut = bytes(audio[:at]) + bytes(audio[at + size:])  # the movie without its media
    with pytest.raises(ValueError, match="^Sample size exceeds mdat bounds$"):
        plexo.mux_fmp4_tracks(fixture_bytes(VIDEO), cut)


# ---- reset of a file starting at 100 s -------------------------------------------------------

@pytest.mark.parametrize("name", ["prog_offset_100.mp4", "frag_edit_100.mp4"])
def test_reset_starts_presentation_at_zero_keeping_the_offset(name, fixture_bytes, ffprobe):
    source = fixture_bytes(name)
    out = plexo.reset_mp4_timestamps(source)
    assert len(out) == len(source) and out != source
    assert media_tools.probe_errors(out) == "" and media_tools.decode_errors(out) == ""
    assert min(start(out, "video"), start(out, "audio")) == pytest.approx(0, abs=1e-6)
    assert start(out, "video") - start(out, "audio") == \
        pytest.approx(start(source, "video") - start(source, "audio"), abs=1e-3)
    for kind in ("v:0", "a:0"):
        before, after = media_tools.packets(source, kind), media_tools.packets(out, kind)
        assert [(p["size"], p["data_hash"], p["flags"]) for p in after] == \
               [(p["size"], p["data_hash"], p["flags"]) for p in before]


def test_reset_of_a_progressive_file_shortens_its_durations(fixture_bytes, ffprobe):
    out = plexo.reset_mp4_timestamps(fixture_bytes("prog_offset_100.mp4"))
    assert media_tools.duration(out) == pytest.approx(2.022, abs=0.01)


def test_the_file_path_resets_as_memory_does(tmp_path):
    source = FIXTURES / "prog_offset_100.mp4"
    plexo.reset_file(source, tmp_path / "out.mp4")
    assert (tmp_path / "out.mp4").read_bytes() == plexo.reset_mp4_timestamps(source.read_bytes())
