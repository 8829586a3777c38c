"""reset_mp4_timestamps on real files from ffmpeg, judged by ffprobe: fragmented files cut from a
stream at 3600 s start at zero with their streams as far apart as before, every packet keeps
its bytes, and the file keeps its length; progressive files come back with their timing."""
from __future__ import annotations

import pytest

import _plexo
import media_tools
from builders import decode_times, iter_boxes, sidx_earliest_time

FRAGMENTED = [
    "reset_av_3600.mp4",     # video 3599.92 s and audio 3599.978667 s, one sidx per track
    "reset_video_3600.mp4",
    "reset_audio_3600.mp4",
    "reset_ids_9_7.mp4",     # reset_av_3600.mp4 with track_IDs 9 (first trak) and 7
]
PROGRESSIVE = ["prog_faststart.mp4", "prog_moov_last.mp4"]


@pytest.fixture(scope="module")
def reset(fixture_bytes):
    cache = {}

    def get(name: str):
        if name not in cache:
            data = fixture_bytes(name)
            cache[name] = (data, _plexo.reset_mp4_timestamps(data))
        return cache[name]
    return get


def stream_packets(data: bytes) -> list[list[dict]]:
    kinds = [s["codec_type"] for s in media_tools.streams(data)]
    return [media_tools.packets(data, f"{k[0]}:{kinds[:i].count(k)}") for i, k in enumerate(kinds)]


def first_decode_times(data: bytes) -> list[float]:
    return [float(packets[0]["dts_time"]) for packets in stream_packets(data)]


def start_times(data: bytes) -> list[float]:
    return [float(s["start_time"]) for s in media_tools.streams(data)]


@pytest.mark.parametrize("name", FRAGMENTED + PROGRESSIVE)
def test_output_probes_cleanly_and_keeps_the_inputs_length(name, reset, ffprobe):
    data, out = reset(name)
    assert media_tools.probe_errors(out) == ""
    assert len(out) == len(data)


@pytest.mark.parametrize("name", FRAGMENTED)
def test_the_earliest_stream_starts_at_zero(name, reset, ffprobe):
    data, out = reset(name)
    assert min(first_decode_times(data)) > 3599
    assert min(first_decode_times(out)) == 0


@pytest.mark.parametrize("name", FRAGMENTED + PROGRESSIVE)
def test_streams_stay_as_far_apart_as_in_the_input(name, reset, ffprobe):
    data, out = reset(name)
    for before, after in ((start_times(data), start_times(out)),
                          (first_decode_times(data), first_decode_times(out))):
        assert [t - before[0] for t in before] == pytest.approx([t - after[0] for t in after], abs=1e-3)


@pytest.mark.parametrize("name", PROGRESSIVE)
def test_a_progressive_file_keeps_its_timing(name, reset, ffprobe):
    data, out = reset(name)
    assert media_tools.streams(out) == media_tools.streams(data)


@pytest.mark.parametrize("name", FRAGMENTED + PROGRESSIVE)
def test_every_packet_keeps_its_bytes_flags_and_spacing(name, reset, ffprobe):
    data, out = reset(name)
    for before, after in zip(stream_packets(data), stream_packets(out), strict=True):
        assert [(p["size"], p["data_hash"], p["flags"]) for p in after] == \
               [(p["size"], p["data_hash"], p["flags"]) for p in before]
        # one shift per stream: every packet moved by the same number of ticks
        shifts = {int(a["dts"]) - int(b["dts"]) for a, b in zip(after, before)}
        shifts |= {int(a["pts"]) - int(b["pts"]) for a, b in zip(after, before)}
        assert len(shifts) == 1


@pytest.mark.parametrize("name", FRAGMENTED)
def test_each_stream_lasts_from_zero_to_the_end_of_its_samples(name, reset, ffprobe):
    # The defragmented file's tables hold the sum of the sample durations; ffprobe's own
    # packet durations are estimates (it gives the short last AAC frame a full 1024).
    data, out = reset(name)
    flat = media_tools.streams(_plexo.defragment_mp4(data))
    for stream, start, lengths in zip(media_tools.streams(out), first_decode_times(out), flat, strict=True):
        assert float(stream["duration"]) == pytest.approx(start + float(lengths["duration"]), abs=1e-3)


def test_segment_indexes_move_with_their_tracks(reset):
    data, out = reset("reset_av_3600.mp4")
    def indexes(blob):
        return [sidx_earliest_time(blob[o + h:o + s]) for k, o, s, h in iter_boxes(blob) if k == "sidx"]
    first_in = {track: time for track, time in reversed(decode_times(data))}
    first_out = {track: time for track, time in reversed(decode_times(out))}
    # ffmpeg's index times are the tracks' first decode times (ids 1 and 2, same timescales)
    assert indexes(data) == [first_in[1], first_in[2]]
    assert indexes(out) == [first_out[1], first_out[2]]


def test_track_ids_do_not_change_the_result(reset):
    # the renumbered file gives the renumbered result: they differ in the same bytes only
    plain, plain_out = reset("reset_av_3600.mp4")
    renumbered, renumbered_out = reset("reset_ids_9_7.mp4")
    def differing(a, b):
        return [i for i, (x, y) in enumerate(zip(a, b)) if x != y]
    assert differing(plain_out, renumbered_out) == differing(plain, renumbered)


@pytest.mark.parametrize("name", FRAGMENTED)
def test_convert_defragments_fragmented_files(name, fixture_bytes):
    data = fixture_bytes(name)
    assert _plexo.convert_mp4_reset_timestamps(data) == _plexo.defragment_mp4(data)


@pytest.mark.parametrize("name", PROGRESSIVE)
def test_convert_resets_progressive_files(name, reset):
    data, out = reset(name)
    assert _plexo.convert_mp4_reset_timestamps(data) == out
