"""convert_ts_to_fmp4: transport streams as fragmented MP4. Real streams are judged by ffprobe
and ffmpeg against their source and against convert_ts_to_mp4; byte-level streams pin where
fragments begin and what a damaged stream gives."""
from __future__ import annotations

import concurrent.futures
import functools
import math
import random

import pytest

import builders as b
import media_tools as mt
import plexo

FIXTURES = ["ts_bframes.ts", "ts_no_bframes.ts", "ts_44k_mono.ts", "ts_1080p.ts",
            "ts_interlaced.ts", "ts_multislice.ts", "ts_192.m2ts", "ts_no_aud.ts",
            "ts_audio_late.ts", "ts_pts_wrap.ts", "ts_dropped_frames.ts", "ts_audio_leads.ts",
            "ts_dvb_pat.ts", "ts_video_only.ts", "ts_hevc_bframes.ts", "ts_hevc_main10.ts",
            "ts_hevc_no_aud.ts"]
# Audio of other codecs, and audio alone (MP2 reads back from MP4 as MP3 in ffmpeg: checked
# against the one-shot file only).
AUDIO_CODECS = ["ts_h264_mp3.ts", "ts_h264_ac3.ts", "ts_h264_ac3_dvb.ts", "ts_h264_eac3.ts",
                "ts_aac_audio_only.ts"]
FRAGMENT = 0.5  # the fixtures last about two seconds: several fragments each
SYNC_FLAGS, NON_SYNC_FLAGS = 0x02000000, 0x01010000


@functools.lru_cache(maxsize=None)
def fragmented(source: bytes, duration: float = FRAGMENT) -> bytes:
    return plexo.convert_ts_to_fmp4(source, fragment_duration=duration, diagnostics=False)


@functools.lru_cache(maxsize=None)
def progressive(source: bytes) -> bytes:
    return plexo.convert_ts_to_mp4(source, diagnostics=False)


def assert_same_samples_as_the_mp4(source: bytes, out: bytes) -> None:
    """The fragments hold convert_ts_to_mp4's samples: once defragment_mp4 has laid them out
    again, the same packets (bytes, key flags) and sample durations, track by track."""
    flat, mp4 = plexo.defragment_mp4(out), progressive(source)
    assert len(b.traks(flat)) == len(b.traks(mp4))
    for track, stream in enumerate(("v:0", "a:0")[:len(b.traks(mp4))]):
        def rows(data):
            return [(p["size"], p["data_hash"], p["flags"][0]) for p in mt.packets(data, stream)]
        assert rows(flat) == rows(mp4)
        assert b.table(flat, track, "stts") == b.table(mp4, track, "stts")


@pytest.fixture(params=FIXTURES)
def pair(request, fixture_bytes, ffprobe, ffmpeg):
    name = request.param
    source = fixture_bytes(name)
    return source, "." + name.rsplit(".", 1)[1], fragmented(source)


class TestRealStreams:
    def test_plays_like_the_source(self, pair):
        source, ext, out = pair
        assert mt.differences(source, ext, out) == []

    def test_holds_the_samples_of_the_mp4(self, pair):
        source, _, out = pair
        assert_same_samples_as_the_mp4(source, out)

    def test_fragments_begin_at_the_first_key_frame_after_each_multiple(self, pair):
        source, ext, out = pair
        # where the source's key frames fall on its presentation timeline (90 kHz, from the
        # earliest picture)
        packets = mt.probe(source, ext, "-select_streams", "v:0", "-show_entries", "packet=pts,flags")["packets"]
        earliest = min(p["pts"] for p in packets)
        step, expected, boundary = round(FRAGMENT * 90000), 1, round(FRAGMENT * 90000)
        for p in packets[1:]:
            if p["flags"][0] == "K" and p["pts"] - earliest >= boundary:
                expected += 1
                boundary = ((p["pts"] - earliest) // step + 1) * step
        fragments = b.track_fragments(out)
        assert len(fragments) == expected
        for trafs in fragments:
            track_id, _, samples = trafs[0]
            assert track_id == 1 and samples[0][2] == SYNC_FLAGS
            # (HEVC leading pictures say so in sample_is_leading as well)
            assert {s[2] & ~0x0C000000 for s in samples[1:]} <= {SYNC_FLAGS, NON_SYNC_FLAGS}

    def test_decode_times_continue_and_audio_is_cut_with_the_video(self, pair):
        _, _, out = pair
        ends, starts, frame = {}, [], 0.0
        rate = {i + 1: media_timescale(out, i) for i in range(len(b.traks(out)))}
        for trafs in b.track_fragments(out):
            times = {}
            for track_id, time, samples in trafs:
                assert ends.get(track_id, time) == time
                ends[track_id] = time + sum(s[0] for s in samples)
                times[track_id] = (time + samples[0][3]) / rate[track_id]
                frame = samples[0][0] / rate[track_id] if track_id == 2 else frame
            starts.append(times)
        for times in starts[1:]:
            if 2 in times:  # the audio of a fragment starts within a frame of its video
                assert 0 <= times[2] - times[1] < frame + 1e-6


@pytest.mark.parametrize("name", AUDIO_CODECS)
def test_other_audio_codecs_play_like_the_source(fixture_bytes, ffprobe, ffmpeg, name):
    source = fixture_bytes(name)
    assert mt.differences(source, ".ts", fragmented(source)) == []


def media_timescale(out: bytes, track: int) -> int:
    mdhd = b.trak_box(out, track, "mdia/mdhd")
    return int.from_bytes(mdhd[20:24] if mdhd[0] == 1 else mdhd[12:16], "big")


def test_the_init_segment_announces_fragments(fixture_bytes):
    out = fragmented(fixture_bytes("ts_bframes.ts"))
    ftyp = b.box_payload(out, "ftyp")
    # Video and audio in each fragment: not a CMAF track file, so no CMAF brand.
    assert ftyp[:4] == b"iso6" and b"cmfc" not in ftyp[8:] and b"iso6" in ftyp[8:]
    assert b.top_level(out)[:3] == ["ftyp", "moov", "moof"] and "mdat" not in b.top_level(out)[:3]
    assert b.children(out, "moov/mvex") == ["trex", "trex"]
    for track in (0, 1):
        assert b.trak_box(out, track, "edts") is None  # the delay is in the decode times
        for kind in ("stts", "stsc", "stsz", "stco"):
            assert b.table(out, track, kind)[1][-1:] == [0]  # no entries, no samples
    assert media_timescale(out, 0) == 90000


def frames(count: int, gop: int, *, jump_at: int | None = None) -> bytes:
    """`count` pictures 3000 ticks apart, an IDR every `gop`, each in its own PES; from
    `jump_at` on the clock jumps ten seconds ahead."""
    video = []
    for i in range(count):
        pts = 90000 + 3000 * i + (900000 if jump_at is not None and i >= jump_at else 0)
        body = b.idr() if i % gop == 0 else b.non_idr()
        prefix = b.AUD + b.nal(b.SPS) + b.nal(b.PPS) if i == 0 else b.AUD
        video.append((prefix + b.nal(body), pts, None))
    return b.transport_stream(video, [(b.aac_frames(5), 90000)])


@pytest.mark.parametrize("count, gop, duration, sizes", [
    (12, 3, 4 * 3000 / 90000, [6, 3, 3]),    # key frames at 3 and 9 come before a multiple
    (12, 6, 1 * 3000 / 90000, [6, 6]),       # a long GOP spans several multiples: one fragment
    (12, 12, 2.0, [12]),
    (10, 2, 2 * 3000 / 90000, [2, 2, 2, 2, 2]),  # a key frame exactly on a multiple starts one
])
def test_where_fragments_begin(count, gop, duration, sizes):
    out = plexo.convert_ts_to_fmp4(frames(count, gop), fragment_duration=duration, diagnostics=False)
    assert [len(trafs[0][2]) for trafs in b.track_fragments(out)] == sizes


def test_a_clock_jump_continues_the_timeline_as_the_mp4_does():
    source = frames(20, 5, jump_at=10)
    out = plexo.convert_ts_to_fmp4(source, fragment_duration=0.1, diagnostics=False)
    assert_same_samples_as_the_mp4(source, out)


def test_an_audio_only_programme_is_cut_on_its_own_timeline():
    frames_per_pes = 5  # 5 × 1920 ticks at 48 kHz: 0.1067 s
    packets = [b.pat(), b.pmt([(0x0F, b.AUDIO_PID)], pcr_pid=b.AUDIO_PID)]
    for i in range(30):
        packets += b.packetize(b.AUDIO_PID, b.pes(b.aac_frames(frames_per_pes), pts=90000 + 9600 * i,
                                                  stream_id=0xC0), i)
    out = plexo.convert_ts_to_fmp4(b"".join(packets), fragment_duration=1.0, diagnostics=False)
    fragments = b.track_fragments(out)
    # 150 frames of 1920 ticks: a fragment at frames 47 (the first at or after 90000 ticks), 94, 141
    assert [len(trafs[0][2]) for trafs in fragments] == [47, 47, 47, 9]
    assert [trafs[0][0] for trafs in fragments] == [1] * 4


def damaged(source: bytes, kind: str) -> bytes:
    packets = b.ts_packets(source)
    if kind == "garbage between packets":
        return b"".join(p + (b"\x47\x00garbage" if i % 7 == 3 else b"") for i, p in enumerate(packets))
    if kind == "lost packets":
        return b"".join(p for i, p in enumerate(packets) if i % 50 != 17)
    return source[:len(source) * 2 // 3 + 77]  # cut inside a packet


@pytest.mark.parametrize("kind", ["garbage between packets", "lost packets", "cut short"])
def test_damaged_streams_give_the_samples_of_the_mp4(fixture_bytes, ffprobe, kind):
    source = damaged(fixture_bytes("ts_bframes.ts"), kind)
    out = plexo.convert_ts_to_fmp4(source, fragment_duration=FRAGMENT, diagnostics=False)
    assert_same_samples_as_the_mp4(source, out)


@pytest.mark.parametrize("data, message", [
    (b"", "No valid TS sync byte found"),
    (b.transport_stream([(b.AUD + b.nal(b.idr()), 90000, None)] * 3), "No H.264 parameter sets found"),
])
def test_unusable_streams_are_refused_as_by_the_mp4_conversion(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        plexo.convert_ts_to_fmp4(data, diagnostics=False)


@pytest.mark.parametrize("duration", [0, -1.0, math.nan, math.inf, 1e7])
def test_fragment_duration_must_be_a_positive_time(fixture_bytes, duration):
    with pytest.raises(ValueError, match="^Invalid fragment duration$"):
        plexo.convert_ts_to_fmp4(fixture_bytes("ts_bframes.ts"), fragment_duration=duration)


def test_fragment_duration_is_a_number(fixture_bytes):
    with pytest.raises(TypeError):
        plexo.convert_ts_to_fmp4(fixture_bytes("ts_bframes.ts"), fragment_duration="2")  # type: ignore[arg-type]


# ---- the live segmenter ---------------------------------------------------------------------

def segmented(source: bytes, sizes, duration: float = FRAGMENT) -> tuple[bytes | None, list[bytes], list[bytes]]:
    """(init, fragments returned by push, fragments returned by flush) for `source` pushed in
    pieces of the given sizes (cycled)."""
    segmenter = plexo.TsSegmenter(duration)
    pushed, at, sizes = [], 0, list(sizes)
    while at < len(source):
        for size in sizes:
            pushed += segmenter.push(source[at:at + size])
            at += size
    flushed = segmenter.flush()
    return segmenter.init, pushed, flushed


def assert_segmenter_writes_the_file(source: bytes, sizes, duration: float = FRAGMENT) -> None:
    init, pushed, flushed = segmented(source, sizes, duration)
    whole = plexo.convert_ts_to_fmp4(source, fragment_duration=duration, diagnostics=False)
    assert init is not None and init + b"".join(pushed + flushed) == whole
    assert all(b.top_level(f) == ["moof", "mdat"] for f in pushed + flushed)


def irregular(seed: int) -> tuple[bytes, bool]:
    """(stream, whether its audio comes late) of pictures at random DTS gaps, some reordered,
    some PES without DTS or without timestamps, an IDR every few; the first picture presents
    first. Its AAC comes early in one PES, or late: muxed more than four fragments after the
    video it plays with, in a stream long enough to pass where the segmenter stops waiting."""
    rng = random.Random(seed)
    late = seed % 3 == 2
    count, gop, dts, video = (600 if late else rng.randrange(8, 40)), rng.choice([2, 3, 5, 12]), 90000, []
    for i in range(count):
        dts += rng.choice([3000, 3000, 1500, 6000, rng.randrange(20000)])
        pts, stamps = dts + rng.choice([0, 3000, 6000]), rng.random()
        prefix = b.AUD + b.nal(b.SPS) + b.nal(b.PPS) if i == 0 else b.AUD
        payload = prefix + b.nal(b.idr() if i % gop == 0 else b.non_idr()) + bytes(100 if late else 0)
        video.append((payload, dts, None) if i == 0 else
                     (payload, None, None) if stamps < 0.15 else
                     (payload, pts, None) if stamps < 0.35 else (payload, pts, dts if pts != dts else None))
    if late:
        audio = [(b.aac_frames(2), 90000 + 3840 * k) for k in range(200)]
        return b.transport_stream(video, audio, audio_after=[2 * k + 20 for k in range(200)]), True
    return b.transport_stream(video, [(b.aac_frames(rng.randrange(1, 20)), 90000)] if seed % 3 else []), False


class TestSegmenter:
    @pytest.mark.parametrize("name", FIXTURES + AUDIO_CODECS + ["ts_h264_mp2.ts"])
    @pytest.mark.parametrize("sizes", [[188], [65536], [188 * 1024], [0, 1, 7, 1000, 0, 4093, 20000]],
                             ids=["188", "64KiB", "188x1024", "uneven"])
    def test_any_chunking_writes_the_one_shot_file(self, fixture_bytes, name, sizes):
        assert_segmenter_writes_the_file(fixture_bytes(name), sizes)

    @pytest.mark.parametrize("seed", range(3))
    def test_random_and_single_byte_chunkings(self, fixture_bytes, seed):
        source = fixture_bytes("ts_1080p.ts")
        rng = random.Random(seed)
        sizes = [1] if seed == 0 else [rng.choice([0, 1, 2, 187, 188, 189, rng.randrange(5000)]) for _ in range(500)]
        assert_segmenter_writes_the_file(source, sizes, duration=0.1)

    @pytest.mark.parametrize("seed", range(9))
    def test_irregular_timestamps_give_the_same_fragments_in_any_chunking(self, seed):
        source, late_audio = irregular(seed)
        init, pushed, flushed = segmented(source, [len(source)], duration=0.1)
        whole = init + b"".join(pushed + flushed)
        for sizes in ([188], [4096], [1, 187, 5000, 70000]):
            init, pushed, flushed = segmented(source, sizes, duration=0.1)
            assert init + b"".join(pushed + flushed) == whole
        if not late_audio:
            assert whole == plexo.convert_ts_to_fmp4(source, fragment_duration=0.1, diagnostics=False)

    def test_pictures_whose_timestamps_stop_are_not_held_to_the_end(self):
        # A picture that 128 follow without a DTS is timed from those before it.
        video = [(b.AUD + (b.nal(b.SPS) + b.nal(b.PPS) if i == 0 else b"") +
                  b.nal(b.idr() if i % 5 == 0 else b.non_idr()), 90000 + 3000 * i if i < 10 else None, None)
                 for i in range(300)]
        source = b.transport_stream(video, audio_stream=False)
        chunked, whole = segmented(source, [188], duration=0.1), segmented(source, [len(source)], duration=0.1)
        assert len(chunked[1]) > 30
        assert chunked[0] + b"".join(chunked[1] + chunked[2]) == whole[0] + b"".join(whole[1] + whole[2])

    def test_fragments_come_out_as_their_key_frames_arrive(self, fixture_bytes):
        source = fixture_bytes("ts_bframes.ts")
        segmenter = plexo.TsSegmenter(0.5)
        cut = len(source) * 3 // 4  # past the key frame at 0.96 s (fragments at 0, 0.96, 1.44, 1.92)
        early = segmenter.push(source[:cut])
        rest = segmenter.push(source[cut:]) + segmenter.flush()
        assert segmenter.init is not None and 1 <= len(early) < len(early + rest) == 4

    def test_init_waits_for_the_parameter_sets(self):
        source = frames(12, 3)
        segmenter = plexo.TsSegmenter(0.1)
        assert segmenter.push(source[:2 * 188]) == [] and segmenter.init is None  # PAT and PMT
        segmenter.push(source[2 * 188:])
        assert segmenter.init is not None

    @pytest.mark.parametrize("kind", ["garbage between packets", "lost packets", "cut short"])
    def test_damaged_streams_as_in_one_piece(self, fixture_bytes, kind):
        assert_segmenter_writes_the_file(damaged(fixture_bytes("ts_bframes.ts"), kind), [188, 0, 1000])

    def test_a_clock_jump_as_in_one_piece(self):
        assert_segmenter_writes_the_file(frames(20, 5, jump_at=10), [100], duration=0.1)

    @pytest.mark.parametrize("data, message", [
        (b"", "No valid TS sync byte found"),
        (b"\x00" * 1000, "No valid TS sync byte found"),
        (b.transport_stream([(b.AUD + b.nal(b.idr()), 90000, None)] * 3), "No H.264 parameter sets found"),
    ])
    def test_a_stream_that_gives_nothing_fails_at_flush(self, data, message):
        segmenter = plexo.TsSegmenter()
        assert segmenter.push(data) == [] and segmenter.init is None
        with pytest.raises(ValueError, match=f"^{message}$"):
            segmenter.flush()

    def test_the_stream_ends_once(self, fixture_bytes):
        segmenter = plexo.TsSegmenter()
        segmenter.push(fixture_bytes("ts_bframes.ts"))
        assert segmenter.flush() and segmenter.flush() == []
        with pytest.raises(ValueError, match="^The stream has ended$"):
            segmenter.push(b"\x47")

    @pytest.mark.parametrize("duration", [0, -1.0, math.nan])
    def test_fragment_duration_must_be_a_positive_time(self, duration):
        with pytest.raises(ValueError, match="^Invalid fragment duration$"):
            plexo.TsSegmenter(duration)

    def test_segmenters_on_threads_give_the_one_shot_file(self, fixture_bytes):
        source = fixture_bytes("ts_bframes.ts")
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(lambda _: segmented(source, [4096]), range(8)))
        whole = fragmented(source)
        assert all(init + b"".join(p + f) == whole for init, p, f in results)

    def test_one_segmenter_pushed_from_two_threads_does_not_crash(self, fixture_bytes):
        source, segmenter = fixture_bytes("ts_bframes.ts"), plexo.TsSegmenter(0.5)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(segmenter.push, [source[at:at + 1000] for at in range(0, len(source), 1000)]))
        segmenter.flush()
