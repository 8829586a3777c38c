"""Concurrent use: every operation run from eight threads at once on shared inputs gives what
it gives on one thread, and a FragmentedMP4Processor shared by threads keeps one consistent
state."""
from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import _plexo
from conftest import FIXTURES, read_fixture
from builders import decode_times, hls_rendition, outcome, segment, traf

THREADS = 8
ROUNDS = 6  # calls of each operation per thread


HLS_INIT, HLS_SEGMENTS = hls_rendition(FIXTURES / "hls_av")


def process_stream(segments: list[bytes]) -> list[bytes]:
    processor = _plexo.FragmentedMP4Processor()
    processor.set_init_segment(HLS_INIT)
    return [processor.process_segment(s) for s in segments]


# Every operation with a shared input: (name, call).
OPERATIONS = [
    ("convert_ts_to_mp4", lambda d=read_fixture("ts_bframes.ts"): _plexo.convert_ts_to_mp4(d)),
    ("convert_ts_to_mp4-192", lambda d=read_fixture("ts_192.m2ts"): _plexo.convert_ts_to_mp4(d)),
    ("extract_thumbnail_from_ts", lambda d=read_fixture("ts_multislice.ts"): _plexo.extract_thumbnail_from_ts(d)),
    ("defragment_mp4", lambda d=read_fixture("frag_gstreamer.mp4"): _plexo.defragment_mp4(d)),
    ("defragment_mp4-audio-late", lambda d=read_fixture("frag_audio_late.mp4"): _plexo.defragment_mp4(d)),
    ("reset_mp4_timestamps", lambda d=read_fixture("frag_audio_late.mp4"): _plexo.reset_mp4_timestamps(d)),
    ("convert_mp4_reset_timestamps",
     lambda d=read_fixture("frag_negative_cts.mp4"): _plexo.convert_mp4_reset_timestamps(d)),
    ("mux_fmp4_tracks", lambda v=read_fixture("frag_video_only.mp4"), a=read_fixture("frag_audio_only.mp4"):
        _plexo.mux_fmp4_tracks(v, a)),
    ("extract_thumbnail_from_mp4",
     lambda d=read_fixture("prog_moov_last.mp4"): _plexo.extract_thumbnail_from_mp4(d)),
    ("process_segment", lambda: b"".join(process_stream(HLS_SEGMENTS))),
]


def test_every_operation_from_eight_threads_gives_the_single_threaded_result():
    expected = {name: outcome(call) for name, call in OPERATIONS}
    assert sum(isinstance(r, bytes) for r in expected.values()) >= 6
    start = threading.Barrier(THREADS)

    def worker(index: int) -> list[tuple[str, object]]:
        start.wait()
        found = []
        for round_ in range(ROUNDS):
            # each thread walks the operations from its own starting point, so that different
            # operations overlap as well as the same one
            for k in range(len(OPERATIONS)):
                name, call = OPERATIONS[(index + round_ + k) % len(OPERATIONS)]
                found.append((name, outcome(call)))
        return found

    with ThreadPoolExecutor(THREADS) as pool:
        results = [r for rs in pool.map(worker, range(THREADS)) for r in rs]
    assert len(results) == THREADS * ROUNDS * len(OPERATIONS)
    wrong = [name for name, result in results if result != expected[name]]
    assert not wrong, f"{len(wrong)} results differ, first from {wrong[0]}"


# ---- one processor shared by threads -------------------------------------------------------

TRACKS = 48


def many_track_segments(count: int) -> list[bytes]:
    """Segments of TRACKS tracks each; every track's decode times rise segment by segment,
    from a start of its own."""
    return [segment(*(traf(track, 1_000_000 * track + 9000 * n) for track in range(1, TRACKS + 1)),
                    sequence=n + 1) for n in range(count)]


def test_a_shared_processor_rebases_every_track_from_one_base():
    """Threads feed segments in no fixed order: whichever came first set each track's base,
    and every result, whoever asked for it, was rebased from that one base."""
    segments = many_track_segments(16)
    # No initialisation segment: every track keeps a base of its own, so a base set by a
    # second call would show.
    processor = _plexo.FragmentedMP4Processor()
    start = threading.Barrier(THREADS)

    def worker(index: int) -> list[tuple[bytes, bytes]]:
        start.wait()
        order = segments[index % len(segments):] + segments[:index % len(segments)]
        return [(s, processor.process_segment(s)) for s in order * 3]

    with ThreadPoolExecutor(THREADS) as pool:
        pairs = [p for ps in pool.map(worker, range(THREADS)) for p in ps]

    offsets: dict[int, set[int]] = {}
    for source, out in pairs:
        assert len(out) == len(source)
        before, after = decode_times(source), decode_times(out)
        assert [t for t, _ in before] == [t for t, _ in after]
        for (track, time), (_, rebased) in zip(before, after):
            if rebased:  # a time before the base comes out as 0
                offsets.setdefault(track, set()).add(time - rebased)
    assert sorted(offsets) == list(range(1, TRACKS + 1))
    bases = {track: found.pop() for track, found in offsets.items() if len(found) == 1}
    assert len(bases) == TRACKS, "a track was rebased from more than one base"
    # every base is one segment's time of that track, and all of them the same segment's:
    # the first call made set them all
    first = {divmod(base - 1_000_000 * track, 9000) for track, base in bases.items()}
    assert len(first) == 1 and first.pop()[1] == 0
    assert processor.base_decode_time == bases[1]


def test_a_stream_fed_from_two_threads_in_turn_is_as_from_one():
    segments = HLS_SEGMENTS + many_track_segments(4)
    expected = process_stream(segments)
    processor = _plexo.FragmentedMP4Processor()
    processor.set_init_segment(HLS_INIT)
    turns = [threading.Semaphore(1), threading.Semaphore(0)]
    found: list[bytes | None] = [None] * len(segments)

    def feed(parity: int) -> None:
        for n in range(parity, len(segments), 2):
            turns[parity].acquire()
            found[n] = processor.process_segment(segments[n])
            turns[1 - parity].release()

    threads = [threading.Thread(target=feed, args=(p,)) for p in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert found == expected
    assert processor.base_decode_time == decode_times(segments[0])[0][1]
