"""Hostile and truncated inputs for every operation: each gives a ValueError or a result that
ffprobe reads without an error. The hostile files are real fixtures with one field or box
made hostile, so that whatever survives is real media that a client can judge."""
from __future__ import annotations

import concurrent.futures
import hashlib
import re

import pytest

import _plexo
import media_tools as mt
from builders import (box, box_boundaries, get_box, large_box, patch_box, patched, pes_start,
                      replace_box, ts_packets, u16, u32, walk_boxes, with_zeros_in_sps)
from conftest import read_fixture

VIDEO = read_fixture("frag_video_only.mp4")
AUDIO = read_fixture("mux_audio_48k.mp4")  # track 2, so that it joins VIDEO
PROGRESSIVE = read_fixture("prog_faststart.mp4")
PROGRESSIVE_MOOV_LAST = read_fixture("prog_moov_last.mp4")
INIT = read_fixture("hls_v/init.mp4")
SEGMENT = read_fixture("hls_v/seg0.m4s")
TS = read_fixture("ts_1080p.ts")


def process_segment(segment: bytes, init: bytes = INIT) -> bytes:
    """The processed segment behind its initialisation segment, as a client would read it."""
    processor = _plexo.FragmentedMP4Processor()
    processor.set_init_segment(init)
    return init + processor.process_segment(segment)


# name: (call, suffix ffprobe reads the result as)
CALLS = {
    "convert_ts_to_mp4": (_plexo.convert_ts_to_mp4, ".mp4"),
    "extract_thumbnail_from_ts": (_plexo.extract_thumbnail_from_ts, ".h264"),
    "defragment_mp4": (_plexo.defragment_mp4, ".mp4"),
    "reset_mp4_timestamps": (_plexo.reset_mp4_timestamps, ".mp4"),
    "convert_mp4_reset_timestamps": (_plexo.convert_mp4_reset_timestamps, ".mp4"),
    "extract_thumbnail_from_mp4": (_plexo.extract_thumbnail_from_mp4, ".h264"),
    "mux_fmp4_tracks(video)": (lambda data: _plexo.mux_fmp4_tracks(data, AUDIO), ".mp4"),
    "mux_fmp4_tracks(audio)": (lambda data: _plexo.mux_fmp4_tracks(VIDEO, data), ".mp4"),
    "process_segment": (process_segment, ".mp4"),
    "process_segment(track 0xffffffff)":
        (lambda data: process_segment(data, with_track_id(INIT, 0xFFFFFFFF)), ".mp4"),
}

def unless_defragmented(data: bytes) -> bytes | None:
    """The input as given when convert_mp4_reset_timestamps resets it in place; None when it
    defragments it: a file written anew is judged on its own, like defragment_mp4's."""
    try:
        _plexo.defragment_mp4(data)
    except ValueError:
        return data
    return None


# Operations that keep the file's structure and rewrite only times: they pass on what they
# are given, damage included, so their result is judged against the input as given (what
# ffprobe says of the result it may already say of the input, nothing more).
AS_GIVEN = {
    "reset_mp4_timestamps": lambda data: data,
    "convert_mp4_reset_timestamps": unless_defragmented,
    "process_segment": lambda data: INIT + data,
}


def complaints(errors: str) -> set[str]:
    """ffprobe's error lines without the addresses that differ between runs."""
    return {re.sub(r"0x[0-9a-f]+|/\S+: ", "", line).strip()
            for line in errors.splitlines() if line.strip()}


def op(name: str, *rest):
    """A parameter set for the operation `name`."""
    return pytest.param(name, *rest,
                        id="-".join([name] + [str(r) for r in rest if isinstance(r, (str, int))]))


def without_decoder_lines(errors: str) -> str:
    """ffprobe's complaints about the container, without the decoders' ones about the bytes
    of a picture or an audio frame."""
    lines = [line for line in errors.splitlines()
             if not line.lstrip().startswith(("[h264 @", "[aac @", "Last message repeated"))]
    return "\n".join(lines)


def assert_value_error_or_readable(name: str, inputs: dict[str, bytes],
                                   container_only: bool = False) -> int:
    """Runs the operation on every input; every result must be read by ffprobe without an
    error (each distinct result is probed once). With ``container_only`` (inputs whose last
    picture was cut short) the decoders may complain, the demuxer may not, and a thumbnail
    must still hold parameter sets and a key-frame slice. Returns how many inputs gave a
    result."""
    call, suffix = CALLS[name]
    results = {}  # digest: (first input that gave it, result)
    given = 0
    for label, data in inputs.items():
        try:
            out = call(data)
        except ValueError:
            continue
        assert isinstance(out, bytes) and out, label
        if container_only and suffix == ".h264":
            assert {b"\x00\x00\x01\x67", b"\x00\x00\x01\x68", b"\x00\x00\x01\x65"} <= \
                {out[i:i + 4] for i in range(len(out) - 3)}, label
        given += 1
        results.setdefault(hashlib.sha1(out).digest(), (label, out))
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        errors = list(pool.map(lambda found: (found[0], mt.probe_errors(found[1], suffix)),
                               results.values()))
    if container_only:
        errors = [(label, without_decoder_lines(error)) for label, error in errors]
    if name in AS_GIVEN:
        given_as = {label: AS_GIVEN[name](inputs[label]) for label, error in errors if error}
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            before = dict(pool.map(
                lambda label: (label, complaints(mt.probe_errors(given_as[label], suffix))),
                [label for label, given in given_as.items() if given is not None]))
        errors = [(label, "\n".join(sorted(complaints(error) - before.get(label, set()))))
                  for label, error in errors]
    bad = [f"{label}: {error[:300]}" for label, error in errors if error]
    assert not bad, f"{len(bad)} of {len(errors)} results unreadable:\n" + "\n".join(bad)
    return given


# ---- truncation at every box and packet boundary -----------------------------------------

def box_cuts(data: bytes) -> dict[str, bytes]:
    """The file cut at every box boundary, and at eight points inside its last box."""
    starts = box_boundaries(data)
    last = max(at for at in starts if at < len(data))
    cuts = [*starts, *range(last, len(data), max(1, (len(data) - last) // 8))]
    return {f"cut at {at}": data[:at] for at in sorted(set(cuts)) if at < len(data)}


def video_starts(data: bytes) -> set[int]:
    """Offsets of the packets that begin a video PES: a cut there leaves every picture whole."""
    return {i * 188 for i, p in enumerate(ts_packets(data)) if p[1] & 0x40 and (p[1] & 0x1F) << 8 | p[2] == 256}


@pytest.mark.parametrize("name", [op("convert_ts_to_mp4"), op("extract_thumbnail_from_ts")])
def test_truncation_at_every_packet_boundary(ffprobe, name):
    whole = video_starts(TS)
    assert len(whole) == 10
    assert assert_value_error_or_readable(name, {f"cut at {at}": TS[:at] for at in sorted(whole)}) > 0
    assert assert_value_error_or_readable(
        name, {f"cut at {at}": TS[:at] for at in range(0, len(TS), 188) if at not in whole},
        container_only=True) > 0


@pytest.mark.parametrize("name, source", [
    op("defragment_mp4", "fragmented"), op("reset_mp4_timestamps", "fragmented"),
    op("convert_mp4_reset_timestamps", "fragmented"), op("convert_mp4_reset_timestamps", "progressive"),
    op("extract_thumbnail_from_mp4", "fragmented"), op("extract_thumbnail_from_mp4", "progressive"),
    op("mux_fmp4_tracks(video)", "fragmented"), op("mux_fmp4_tracks(audio)", "audio"),
    op("process_segment", "segment"),
], ids=str)
def test_truncation_at_every_box_boundary(ffprobe, name, source):
    data = {"fragmented": VIDEO, "progressive": PROGRESSIVE, "audio": AUDIO, "segment": SEGMENT}[source]
    cuts = box_cuts(data)
    assert len(cuts) >= 16
    assert assert_value_error_or_readable(name, {"whole": data, **cuts}) > 1


# ---- hostile box sizes and counts --------------------------------------------------------

def with_size(data: bytes, path: str, size: int) -> bytes:
    return patch_box(data, path, 0, u32(size))


def with_largesize(data: bytes, path: str, largesize: int) -> bytes:
    """The box rewritten with a 64-bit size field declaring ``largesize``."""
    whole = get_box(data, path)
    return replace_box(data, path, large_box(path.rsplit("/", 1)[-1], whole[8:], largesize=largesize))


MP4_INPUTS = {  # operation: (input, boxes whose sizes are made hostile)
    "defragment_mp4": (VIDEO, ["moov", "moov/trak", "moov/trak/mdia/minf/stbl/stsd", "moof",
                               "moof/traf", "moof/traf/trun", "mdat"]),
    "reset_mp4_timestamps": (VIDEO, ["moov", "moov/trak", "moof", "moof/traf", "moof/traf/tfdt"]),
    "convert_mp4_reset_timestamps": (PROGRESSIVE, ["moov", "moov/trak", "moov/trak/mdia/minf/stbl",
                                                   "moov/trak/mdia/minf/stbl/stsz", "mdat"]),
    "extract_thumbnail_from_mp4": (PROGRESSIVE, ["moov", "moov/trak", "moov/trak/mdia/minf/stbl",
                                                 "moov/trak/mdia/minf/stbl/stsd/avc1/avcC",
                                                 "moov/trak/mdia/minf/stbl/stsz", "mdat"]),
    "mux_fmp4_tracks(video)": (VIDEO, ["moov", "moov/trak", "moof", "moof/traf/trun", "mdat"]),
    "process_segment": (SEGMENT, ["styp", "sidx", "moof", "moof/traf", "moof/traf/tfdt", "mdat"]),
}


@pytest.mark.parametrize("name", [op(n) for n in MP4_INPUTS])
def test_small_size_fields(ffprobe, name):
    data, paths = MP4_INPUTS[name]
    assert_value_error_or_readable(name, {f"{p} size {s}": with_size(data, p, s)
                                          for p in paths for s in range(8)})


@pytest.mark.parametrize("name", [op(n) for n in MP4_INPUTS])
def test_64_bit_sizes_past_the_input(ffprobe, name):
    data, paths = MP4_INPUTS[name]
    sizes = [len(data) + 1, 1 << 32, 1 << 63, (1 << 64) - 1]
    assert_value_error_or_readable(name, {f"{p} largesize {s}": with_largesize(data, p, s)
                                          for p in paths for s in sizes})


@pytest.mark.parametrize("name, data", [
    op("defragment_mp4", VIDEO), op("reset_mp4_timestamps", VIDEO),
    op("convert_mp4_reset_timestamps", VIDEO), op("extract_thumbnail_from_mp4", VIDEO),
    op("mux_fmp4_tracks(video)", VIDEO), op("mux_fmp4_tracks(audio)", AUDIO),
    op("process_segment", SEGMENT),
])
def test_trun_sample_count_0xffffffff(ffprobe, name, data):
    assert_value_error_or_readable(name, {"trun": patch_box(data, "moof/traf/trun", 12, u32(0xFFFFFFFF))})


@pytest.mark.parametrize("name, data", [
    op("defragment_mp4", VIDEO), op("extract_thumbnail_from_mp4", PROGRESSIVE),
    op("convert_mp4_reset_timestamps", PROGRESSIVE), op("reset_mp4_timestamps", PROGRESSIVE),
    op("mux_fmp4_tracks(video)", VIDEO),
])
@pytest.mark.parametrize("sample_size", [0, 1])
def test_stsz_claiming_2_to_the_32_entries(ffprobe, name, data, sample_size):
    hostile = patch_box(data, "moov/trak/mdia/minf/stbl/stsz", 12, u32(sample_size) + u32(0xFFFFFFFF))
    assert_value_error_or_readable(name, {"stsz": hostile})


def nested(kind: str, depth: int, inner: bytes = b"") -> bytes:
    for _ in range(depth):
        inner = box(kind, inner)
    return inner


@pytest.mark.parametrize("name", [op(n) for n in MP4_INPUTS])
@pytest.mark.parametrize("where", ["moov", "moof", "end"])
def test_boxes_nested_thousands_deep(ffprobe, name, where):
    """5000 boxes, each the only child of the one before: inside the movie box (of a file
    whose media lies before it), as a movie fragment of its own, or after the last box."""
    data, _ = MP4_INPUTS[name]
    if where == "moov" and data is PROGRESSIVE:
        data = PROGRESSIVE_MOOV_LAST
    if where == "moov" and data is not SEGMENT:
        hostile = replace_box(data, "moov", box("moov", get_box(data, "moov")[8:], nested("trak", 5000)))
    elif where == "moof" and data is not PROGRESSIVE:
        first = next(offset for path, offset, *_ in walk_boxes(data) if path == "moof")
        hostile = data[:first] + box("moof", nested("traf", 5000)) + data[first:]
    else:
        hostile = data + nested("moov", 5000)
    assert_value_error_or_readable(name, {where: hostile})


@pytest.mark.parametrize("name, data", [("defragment_mp4", VIDEO), ("mux_fmp4_tracks(video)", VIDEO),
                                        ("mux_fmp4_tracks(audio)", AUDIO)], ids=["defragment", "video", "audio"])
@pytest.mark.parametrize("where, kind", [("moov", "udta"), ("moov", "mvex"), ("moov/trak", "tref"),
                                         ("moov/trak/mdia/minf", "dinf")])
def test_boxes_nested_ten_deep_in_a_rebuilt_movie(ffprobe, name, data, where, kind):
    """Boxes that a player descends into, nested ten deep below a box the movie keeps: the
    rebuilt movie leaves them out rather than nest deeper than players read."""
    parent = get_box(data, where)
    hostile = replace_box(data, where, box(where.rsplit("/", 1)[-1], parent[8:], nested(kind, 10)))
    assert_value_error_or_readable(name, {where: hostile})


def with_track_id(data: bytes, track_id: int) -> bytes:
    """Every tkhd, trex and tfhd of the file naming track ``track_id``."""
    offsets = {"moov/trak/tkhd": 20, "moov/mvex/trex": 12, "moof/traf/tfhd": 12}
    out = data
    for path, at in offsets.items():
        for nth in range(sum(1 for p, *_ in walk_boxes(data) if p == path)):
            version = get_box(out, path, nth)[8]
            out = patch_box(out, path, at + (8 if path.endswith("tkhd") and version == 1 else 0),
                            u32(track_id), nth)
    return out


@pytest.mark.parametrize("name", [op(n) for n in MP4_INPUTS])
def test_track_id_0xffffffff(ffprobe, name):
    data, _ = MP4_INPUTS[name]
    name = name + "(track 0xffffffff)" if name == "process_segment" else name
    assert_value_error_or_readable(name, {"track 0xffffffff": with_track_id(data, 0xFFFFFFFF)})


# ---- hostile transport streams -----------------------------------------------------------

def with_adts_length(data: bytes, length: int) -> bytes:
    """The first ADTS header's frame length field set to ``length``."""
    at = data.index(b"\xff\xf1", pes_start(data, 257))
    header = bytearray(data[at:at + 7])
    header[3] = (header[3] & 0xFC) | ((length >> 11) & 0x03)
    header[4] = (length >> 3) & 0xFF
    header[5] = (header[5] & 0x1F) | ((length & 0x07) << 5)
    return patched(data, at, bytes(header))


TS_HOSTILE = {
    "pes-header-length-past-the-packet-video": lambda: patched(TS, pes_start(TS, 256) + 8, b"\xff"),
    "pes-header-length-past-the-packet-audio": lambda: patched(TS, pes_start(TS, 257) + 8, b"\xff"),
    "pes-packet-length-past-the-stream": lambda: patched(TS, pes_start(TS, 257) + 4, u16(0xFFFF)),
    **{f"adts-length-{n}": (lambda n=n: with_adts_length(TS, n)) for n in (*range(7), 8191)},
    "sps-with-80-leading-zero-bits": lambda: with_zeros_in_sps(TS),
}


@pytest.mark.parametrize("name", [op("convert_ts_to_mp4"), op("extract_thumbnail_from_ts")])
@pytest.mark.parametrize("case", list(TS_HOSTILE))
def test_hostile_transport_streams(ffprobe, name, case):
    data = TS_HOSTILE[case]()
    assert len(data) == len(TS) and data != TS
    assert_value_error_or_readable(name, {case: data})


# ---- what a result must hold -------------------------------------------------------------

def first_sample(data: bytes) -> bytes:
    """The bytes of the first sample of the first fragment (a run with a data offset, first
    sample flags, sizes and composition offsets)."""
    moof = next(offset for path, offset, *_ in walk_boxes(data) if path == "moof")
    trun = get_box(data, "moof/traf/trun")
    assert trun[8:12] == u32(0xA05)
    data_offset, size = (int.from_bytes(trun[at:at + 4], "big") for at in (16, 24))
    return data[moof + data_offset:moof + data_offset + size]


@pytest.mark.parametrize("case", ["traf-of-no-trak", "moov-without-trak"])
def test_defragment_refuses_a_result_without_samples(case):
    if case == "traf-of-no-trak":
        hostile = VIDEO
        for nth in range(5):
            hostile = patch_box(hostile, "moof/traf/tfhd", 12, u32(7), nth)
    else:
        hostile = replace_box(VIDEO, "moov/trak", b"")
    with pytest.raises(ValueError):
        _plexo.defragment_mp4(hostile)


def test_the_first_trex_of_a_track_wins():
    """Two trex for one track: the first says every sample is a sync sample, the second that
    none is. The fragment carries no flags of its own, so its first sample is a key frame
    and the thumbnail is the one of the source file."""
    from builders import Run, Sample, Traf, fragment, trex
    mvex = box("mvex", trex(1, duration=512, flags=0x02000000), trex(1, duration=512, flags=0x01010000))
    movie = replace_box(get_box(VIDEO, "ftyp") + get_box(VIDEO, "moov"), "moov/mvex", mvex)
    data = movie + fragment(Traf(1, [Run([Sample(first_sample(VIDEO))], data_offset=0)]))
    assert _plexo.extract_thumbnail_from_mp4(data) == _plexo.extract_thumbnail_from_mp4(VIDEO)
