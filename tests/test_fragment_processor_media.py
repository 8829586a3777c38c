"""FragmentedMP4Processor on live-like HLS segments written by ffmpeg, judged by ffprobe and
ffmpeg: a stream joined in the middle must play from zero with every packet unchanged."""
from __future__ import annotations

import random

import pytest

import _plexo
from builders import iter_boxes
from conftest import FIXTURES
from media_tools import _with_file, decode_errors, packets, probe_errors, run, streams
from builders import decode_times, hls_rendition

RENDITIONS = ["hls_v", "hls_av"]  # video only; video and audio muxed (audio at 48 kHz)


@pytest.fixture(scope="module", params=RENDITIONS)
def rendition(request):
    directory = FIXTURES / request.param
    if not directory.is_dir():
        pytest.fail(f"missing fixture {request.param}/; run tests/fixtures/make_fixtures.sh")
    init, segments = hls_rendition(directory)
    assert len(segments) >= 3, "the rendition needs a few segments to join in the middle"
    return init, segments


def join_live(init: bytes, segments: list[bytes]):
    """Feeds the segments one by one to a fresh processor; returns the playable file made of
    the init segment and the outputs, and the processor."""
    p = _plexo.FragmentedMP4Processor()
    p.set_init_segment(init)
    return init + b"".join(p.process_segment(s) for s in segments), p


def first_decode_times(data: bytes) -> dict[int, float]:
    """First dts of every stream in seconds, read from the fragments alone (edit lists of the
    init segment ignored, so that an offset written there does not hide the tfdt)."""
    def call(path):
        result = run("ffprobe", "-v", "error", "-ignore_editlist", "1", "-show_entries",
                     "packet=stream_index,dts_time", "-of", "csv=p=0", path)
        assert result.returncode == 0, result.stderr
        first = {}
        for line in result.stdout.split():
            index, dts = line.split(",")[:2]
            first.setdefault(int(index), float(dts))
        return first
    return _with_file(data, ".mp4", call)


@pytest.fixture(params=["second", "middle"])
def joined(request, rendition, ffprobe):
    init, segments = rendition
    skip = 1 if request.param == "second" else len(segments) // 2
    source = init + b"".join(segments[skip:])
    out, processor = join_live(init, segments[skip:])
    return source, out, processor, segments[skip]


def test_every_stream_starts_at_zero(joined):
    source, out, _, _ = joined
    assert all(t > 0 for t in first_decode_times(source).values())
    starts = first_decode_times(out)
    assert len(starts) == len(streams(source))
    assert all(t == 0 for t in starts.values()), starts


def test_the_base_is_the_first_tracks_first_time(joined):
    _, _, processor, first_segment = joined
    assert processor.base_decode_time == decode_times(first_segment)[0][1]


def test_packets_are_unchanged_and_shifted_as_one(joined):
    source, out, _, _ = joined
    for index, _ in enumerate(streams(source)):
        before, after = packets(source, str(index)), packets(out, str(index))
        assert len(before) == len(after) > 0
        for key in ("data_hash", "size", "duration", "flags"):
            assert [p.get(key) for p in before] == [p.get(key) for p in after], key
        shifts = {int(b["dts"]) - int(a["dts"]) for b, a in zip(before, after)}
        assert len(shifts) == 1, f"stream {index} re-timed unevenly: {shifts}"


def test_durations_are_unchanged(joined):
    source, out, _, _ = joined
    assert [s.get("duration") for s in streams(out)] == [s.get("duration") for s in streams(source)]


def test_the_joined_stream_plays_without_errors(joined, ffmpeg):
    _, out, _, _ = joined
    assert probe_errors(out) == ""
    assert decode_errors(out) == ""


def test_output_has_the_segments_length(rendition):
    _, segments = rendition
    p = _plexo.FragmentedMP4Processor()
    assert [len(p.process_segment(s)) for s in segments] == [len(s) for s in segments]


# ---- damaged segments ----------------------------------------------------------------------


def complete_prefix(data: bytes, n: int) -> int:
    """End of the last top-level box that lies wholly within the first n bytes."""
    end = 0
    for _, offset, size, _ in iter_boxes(data):
        if offset + size <= n:
            end = offset + size
    return end


def test_truncated_segments_keep_their_complete_boxes(rendition):
    _, segments = rendition
    data = segments[1]
    whole = _plexo.FragmentedMP4Processor().process_segment(data)
    for n in sorted({0, 1, 7, 8, 9, 30, 100, 500, 1000, len(data) // 2, len(data) - 1}):
        p = _plexo.FragmentedMP4Processor()
        out = p.process_segment(data[:n])
        keep = complete_prefix(data, n)
        assert out == whole[:keep], n
        # Only a moof that came through whole sets a base.
        has_moof = any(k == "moof" for k, *_ in iter_boxes(data[:keep]))
        assert (p.base_decode_time is not None) == has_moof


def test_corrupted_segments_give_a_result_or_invalid_box_size(rendition):
    _, segments = rendition
    data = segments[1]
    moof_end = next(o + s for k, o, s, _ in iter_boxes(data) if k == "moof")
    rng = random.Random(1234)
    for _ in range(300):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(moof_end)] = rng.randrange(256)
        p = _plexo.FragmentedMP4Processor()
        try:
            out = p.process_segment(bytes(damaged))
        except ValueError as error:
            assert error.args == ("Invalid box size",)
        else:
            assert len(out) <= len(damaged)
