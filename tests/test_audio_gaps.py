"""Audio frames keep their source times when packets are lost: a PES timestamp more than half
a frame later than counting says lengthens the frame before it (stts, trun), in the
progressive file, the fragmented file, the live segmenter and ``plexo hls``; nearer
timestamps change nothing. Real streams with packets cut out by tests/fixtures/drop_packets.py
are judged with ffprobe against the conversion of the stream they were cut from; byte-level
streams pin the half-frame rule."""
from __future__ import annotations

import struct
import subprocess
import sys

import pytest

import _plexo
import media_tools as mt
import plexo
from builders import (adts_frame, sample_bytes, table, trak_box, transport_stream, ts_packets)
from conftest import FIXTURES

sys.path.insert(0, str(FIXTURES))
import drop_packets  # noqa: E402

SOURCE = "ts_loss_source.ts"
FRAME = 1920  # an AAC frame at 48 kHz, 90 kHz ticks
START = 180000


def live(data: bytes, chunk: int = 1316) -> bytes:
    segmenter = plexo.TsSegmenter(2.0)
    fragments = []
    for at in range(0, len(data), chunk):
        fragments += segmenter.push(data[at:at + chunk])
    fragments += segmenter.flush()
    return segmenter.init + b"".join(fragments)


OUTPUTS = {
    "progressive": lambda data: plexo.convert_ts_to_mp4(data, diagnostics=False),
    "fragmented": lambda data: plexo.convert_ts_to_fmp4(data, diagnostics=False),
    "segmenter": live,
}


def packet_times(out: bytes) -> dict[str, dict[str, float]]:
    """Per stream, each packet's data hash and presentation time (seconds)."""
    return {kind: {p["data_hash"]: float(p["pts_time"]) for p in mt.packets(out, kind)} for kind in ("v:0", "a:0")}


@pytest.fixture(scope="module")
def reference(fixture_bytes):
    """What each output kind makes of the stream before any loss."""
    source = fixture_bytes(SOURCE)
    return {name: packet_times(convert(source)) for name, convert in OUTPUTS.items()}


# ---- real streams with packets lost ------------------------------------------------------

CUTS = {
    "audio": ["audio:3:4"],                                   # whole audio PES
    "audio mid-PES": ["audio~:3:4"],                          # a frame cut at each end
    "video": ["video:2.88:3.84"],                             # two whole GOPs
    "both": ["all:2.88:3.84"],                                # every packet, audio cut anywhere
    "long": ["all:1.92:6.72"],                                # 4.8 s of 10 gone
    "several": ["audio:2:2.5", "video:4.8:5.28", "all:7.2:7.68", "audio~:8:9"],
}
PICTURES_CUT = {"audio": 0, "audio mid-PES": 0, "video": 24, "both": 24, "long": 120, "several": 24}


@pytest.mark.parametrize("output", OUTPUTS)
@pytest.mark.parametrize("cut", CUTS)
def test_every_packet_left_keeps_its_data_and_source_time(fixture_bytes, reference, ffprobe, cut, output):
    damaged = drop_packets.drop(fixture_bytes(SOURCE), CUTS[cut])
    out = OUTPUTS[output](damaged)
    assert mt.probe_errors(out) == "" and mt.decode_errors(out) == ""
    got, want = packet_times(out), reference[output]
    for kind in ("v:0", "a:0"):
        assert got[kind], kind
        assert set(got[kind]) <= set(want[kind]), f"{kind}: data not in the source"
        moved = {h: (t, want[kind][h]) for h, t in got[kind].items() if abs(t - want[kind][h]) > 1e-6}
        assert not moved, f"{kind}: {len(moved)} packets away from their source time"
    # the pictures the cut removed are missing, no others
    assert len(want["v:0"]) - len(got["v:0"]) == PICTURES_CUT[cut]
    # and the end: the last audio frame against the last picture, as in the source
    end = max(got["a:0"].values()) - max(got["v:0"].values())
    assert end == pytest.approx(max(want["a:0"].values()) - max(want["v:0"].values()), abs=FRAME / 90000)


def test_the_file_path_and_hls_keep_the_gaps_too(tmp_path, fixture_bytes, reference, ffprobe):
    damaged = drop_packets.drop(fixture_bytes(SOURCE), CUTS["several"])
    source = tmp_path / "lossy.ts"
    source.write_bytes(damaged)
    plexo.convert_file(source, tmp_path / "out.mp4", diagnostics=False)
    assert (tmp_path / "out.mp4").read_bytes() == plexo.convert_ts_to_mp4(damaged, diagnostics=False)
    # the probe of the stream summarises the same tracks, gaps included
    assert plexo.probe(damaged)["tracks"] == plexo.probe((tmp_path / "out.mp4").read_bytes())["tracks"]
    done = subprocess.run([sys.executable, "-m", "plexo", "hls", "--segment-duration", "2", str(source),
                           str(tmp_path / "hls")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "hls" / "index.m3u8").read_text().splitlines()
    names = ["init.mp4"] + [line for line in lines if line and not line.startswith("#")]
    joined = b"".join((tmp_path / "hls" / name).read_bytes() for name in names)
    assert packet_times(joined) == packet_times(live(damaged))
    got, want = packet_times(joined)["a:0"], reference["segmenter"]["a:0"]
    assert all(abs(t - want[h]) < 1e-6 for h, t in got.items())


# ---- the half-frame rule, byte by byte ----------------------------------------------------

def frames(first: int, count: int, size: int = 24, **adts) -> bytes:
    """`count` ADTS frames whose payloads name their number, from `first` on."""
    return b"".join(adts_frame(bytes([n & 0xFF]) * size, **adts) for n in range(first, first + count))


def audio_only(pes_list: list[tuple[bytes, int]]) -> bytes:
    return transport_stream([], pes_list, video_stream=False)


def stts(out: bytes) -> list[tuple[int, int]]:
    words = table(out, 0, "stts")[1]
    return [(words[i], words[i + 1]) for i in range(1, len(words), 2)]


def timescale(out: bytes) -> int:
    return struct.unpack(">I", trak_box(out, 0, "mdia/mdhd")[12:16])[0]


def sample_times(out: bytes) -> dict[int, int]:
    """Each sample's frame number (its payload byte) and decode time."""
    durations = [d for count, d in stts(out) for _ in range(count)]
    times, t = [], 0
    for d in durations:
        times.append(t)
        t += d
    return {sample[0]: time for sample, time in zip(sample_bytes(out, 0), times)}


@pytest.mark.parametrize("off", [1, 500, -500, 959, 960, -960])
def test_timestamps_within_half_a_frame_change_nothing(off):
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 3), START), (frames(3, 3), START + 3 * FRAME + off),
                                               (frames(6, 3), START + 6 * FRAME)]))
    assert stts(out) == [(9, FRAME)]


@pytest.mark.parametrize("gap", [961, 5000, 3 * FRAME])
def test_a_later_timestamp_lengthens_the_frame_before_it(gap):
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 3), START), (frames(3, 3), START + 3 * FRAME + gap)]))
    assert stts(out) == [(2, FRAME), (1, FRAME + gap), (3, FRAME)]
    # and the later frames go on by count from it
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 3), START), (frames(3, 3), START + 3 * FRAME + gap),
                                               (frames(6, 2), START + 6 * FRAME + gap)]))
    assert stts(out) == [(2, FRAME), (1, FRAME + gap), (5, FRAME)]


def test_an_earlier_timestamp_gives_no_negative_duration_and_counting_goes_on_from_it():
    # backwards by two frames, then a gap measured from the new count
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 3), START), (frames(3, 3), START + FRAME),
                                               (frames(6, 3), START + 4 * FRAME + 4000)]))
    assert stts(out) == [(5, FRAME), (1, FRAME + 4000), (3, FRAME)]


def test_a_gap_across_the_33_bit_wrap_is_kept():
    first = (1 << 33) - 2 * FRAME
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 3), first),
                                               (frames(3, 3), (first + 3 * FRAME + 7000) % (1 << 33))]))
    assert stts(out) == [(2, FRAME), (1, FRAME + 7000), (3, FRAME)]


def test_gaps_at_44_1_khz_count_in_samples_without_drift():
    # 1024 samples a frame, the sample rate as timescale: thirty gaps of 3001 ticks (1470.49
    # samples each) keep each PES's first frame within two samples of its PTS (the roundings
    # of the PTS, the frame count and the running total), however many gaps came before
    tick = 1024 * 90000 / 44100
    pes_list, t = [], START
    for n in range(31):
        pes_list.append((frames(2 * n, 2, sampling_index=4), round(t)))
        t += 2 * tick + 3001
    out = _plexo.convert_ts_to_mp4(audio_only(pes_list))
    assert timescale(out) == 44100
    assert len([d for count, d in stts(out) if d != 1024]) == 30
    times = sample_times(out)
    for n, (_, pts) in enumerate(pes_list):
        assert times[2 * n] == pytest.approx((pts - START) * 44100 / 90000, abs=2)


def test_a_gap_is_bounded_to_what_a_table_entry_holds():
    gap = (1 << 32) - 1000  # just below half the clock
    out = _plexo.convert_ts_to_mp4(audio_only([(frames(0, 2), START), (frames(2, 2), (START + 2 * FRAME + gap) % (1 << 33))]))
    assert stts(out) == [(1, FRAME), (1, 0xFFFFFFFF), (2, FRAME)]


def test_frames_after_packets_lost_inside_a_pes_lead_up_to_the_next_timestamp():
    # one PES of 24 frames (100 bytes each) over 14 packets; the 6th packet is lost with the
    # two frames it cuts, and the frames after it belong just before the next PES
    stream = audio_only([(frames(0, 24, size=93), START), (frames(24, 3, size=93), START + 24 * FRAME)])
    packets = ts_packets(stream)
    audio = [i for i, p in enumerate(packets) if (p[1] & 0x1F) << 8 | p[2] == 0x101]
    lossy = b"".join(p for i, p in enumerate(packets) if i != audio[5])
    times = sample_times(_plexo.convert_ts_to_mp4(lossy))
    assert len(times) == 27 - 2 and 9 not in times and 10 not in times
    assert all(time == n * FRAME for n, time in times.items())
    # without the loss, nothing moves
    assert sample_times(_plexo.convert_ts_to_mp4(stream)) == {n: n * FRAME for n in range(27)}


def test_a_pes_whose_first_frame_was_lost_gives_its_pts_to_no_other_frame():
    # 200-byte frames; the second packet of the middle PES is lost: its frame 12 is cut, 13
    # gone, and 14, the first whole frame left, is not the one the PES's PTS stamps
    stream = audio_only([(frames(0, 12, size=193), START), (frames(12, 12, size=193), START + 12 * FRAME),
                         (frames(24, 3, size=193), START + 24 * FRAME)])
    packets = ts_packets(stream)
    audio = [i for i, p in enumerate(packets) if (p[1] & 0x1F) << 8 | p[2] == 0x101 and p[1] & 0x40]
    times = sample_times(_plexo.convert_ts_to_mp4(b"".join(p for i, p in enumerate(packets) if i != audio[1] + 1)))
    assert sorted(times) == [n for n in range(27) if n not in (12, 13)]
    assert all(time == n * FRAME for n, time in times.items())


def test_every_output_kind_keeps_the_same_gap():
    stream = audio_only([(frames(0, 30), START), (frames(30, 30), START + 30 * FRAME + 9000),
                         (frames(60, 30), START + 60 * FRAME + 9000)])
    progressive = plexo.convert_ts_to_mp4(stream, diagnostics=False)
    assert stts(progressive) == [(29, FRAME), (1, FRAME + 9000), (60, FRAME)]
    for out in (plexo.convert_ts_to_fmp4(stream, fragment_duration=0.5, diagnostics=False), live(stream, 188)):
        assert [p["pts"] for p in mt.packets(out, "a:0")] == [p["pts"] for p in mt.packets(progressive, "a:0")]
