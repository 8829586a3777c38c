"""FragmentedMP4Processor on live-like HLS segments written by ffmpeg, judged by ffprobe and
ffmpeg: a stream joined in the middle must play from zero with every packet unchanged and
its tracks still in sync."""
from __future__ import annotations

import random
from fractions import Fraction

import pytest

import _plexo
from builders import decode_times, hls_rendition, iter_boxes, segment_indexes
from conftest import FIXTURES
from media_tools import _with_file, decode_errors, packets, probe_errors, run, streams

RENDITIONS = ["hls_v", "hls_av"]  # video only; video and audio muxed (audio at 48 kHz)


@pytest.fixture(scope="module", params=RENDITIONS)
def rendition(request):
    directory = FIXTURES / request.param
    if not directory.is_dir():
        pytest.fail(f"missing fixture {request.param}/; run tests/fixtures/make_fixtures.sh")
    init, segments = hls_rendition(directory)
    assert len(segments) >= 3, "the rendition needs a few segments to join in the middle"
    return init, segments


def join_live(init: bytes, segments: list[bytes], with_init: bool = True):
    """Feeds the segments one by one to a fresh processor; returns the playable file made of
    the init segment and the outputs, and the processor."""
    p = _plexo.FragmentedMP4Processor()
    if with_init:
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
    return source, out, processor, segments[skip:]


MS = 0.001


def test_the_earliest_stream_starts_at_zero_and_the_others_keep_their_offset(joined):
    source, out, _, _ = joined
    before, after = first_decode_times(source), first_decode_times(out)
    assert len(after) == len(streams(source)) and min(before.values()) > 3600
    assert min(after.values()) == 0
    for index, start in before.items():
        assert after[index] == pytest.approx(start - min(before.values()), abs=MS), index


def test_the_base_is_the_first_tracks_share_of_the_common_start(joined, rendition):
    _, _, processor, segments = joined
    timescales = [int(s["time_base"].split("/")[1]) for s in streams(rendition[0] + segments[0])]
    firsts = {}
    for track_id, time in decode_times(segments[0]):
        firsts.setdefault(track_id, time)
    start = min(Fraction(time, timescales[track_id - 1]) for track_id, time in firsts.items())
    first_track = decode_times(segments[0])[0][0]
    assert processor.base_decode_time == int(start * timescales[first_track - 1])


def stream_packets(data: bytes) -> list[list[dict]]:
    return [packets(data, str(index)) for index, _ in enumerate(streams(data))]


def test_packets_are_unchanged_and_every_stream_moves_by_the_same_time(joined):
    source, out, _, _ = joined
    shifts_in_seconds = []
    for before, after in zip(stream_packets(source), stream_packets(out)):
        assert len(before) == len(after) > 0
        for key in ("data_hash", "size", "duration", "flags"):
            assert [p.get(key) for p in before] == [p.get(key) for p in after], key
        shifts = {int(b["dts"]) - int(a["dts"]) for b, a in zip(before, after)}
        assert len(shifts) == 1, f"re-timed unevenly: {shifts}"
        shifts_in_seconds.append(float(before[0]["dts_time"]) - float(after[0]["dts_time"]))
    # The audio/video offset is the source's.
    assert max(shifts_in_seconds) - min(shifts_in_seconds) <= MS, shifts_in_seconds


def test_durations_shrink_by_the_common_start(joined):
    source, out, _, _ = joined
    start = min(first_decode_times(source).values())
    for before, after in zip(streams(source), streams(out)):
        assert float(after["duration"]) == pytest.approx(float(before["duration"]) - start, abs=MS)


def test_segment_indexes_stay_where_their_fragments_are(joined, rendition):
    _, out, _, sources = joined
    outs = list(iter_segments(out[len(rendition[0]):], [len(s) for s in sources]))
    for source, rebased in zip(sources, outs):
        indexes = segment_indexes(source)
        assert indexes, "every ffmpeg HLS segment carries a sidx per track"
        assert [i[:3] for i in segment_indexes(rebased)] == [i[:3] for i in indexes]
        before, after = dict(reversed(decode_times(source))), dict(reversed(decode_times(rebased)))
        for (_, track, _, was), (_, _, _, now) in zip(indexes, segment_indexes(rebased)):
            assert now - after[track] == was - before[track], track


def iter_segments(data: bytes, lengths: list[int]):
    at = 0
    for length in lengths:
        yield data[at : at + length]
        at += length


def test_the_joined_stream_plays_without_errors(joined, ffmpeg):
    _, out, _, _ = joined
    assert probe_errors(out) == ""
    assert decode_errors(out) == ""


def test_without_the_init_segment_each_stream_starts_at_its_own_zero(rendition, ffprobe):
    init, segments = rendition
    out, _ = join_live(init, segments[1:], with_init=False)
    assert set(first_decode_times(out).values()) == {0}


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
        # Only a moof that came through whole sets a base; without one, nothing is known to
        # move the segment indexes by, and the boxes come back as they were.
        has_moof = any(k == "moof" for k, *_ in iter_boxes(data[:keep]))
        assert out == (whole[:keep] if has_moof else data[:keep]), n
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
