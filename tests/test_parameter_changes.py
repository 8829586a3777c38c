"""Streams whose parameter sets change mid-stream (an encoder restart, a splice, two recordings
joined): each generation of parameter sets is a sample entry of its own, its first picture a
key picture that starts a chunk (and, fragmented, a fragment naming the entry) and carries its
sets in-band as well. A set repeated unchanged, or one under another id, begins nothing."""
from __future__ import annotations

import io
import os
import pathlib
import struct
import subprocess
import sys
import tempfile

import pytest

import builders as b
import media_tools as mt
import _plexo
import plexo
from conftest import read_fixture

SPS_A = b.sps_nal(19, 14)                  # 320x240
SPS_B = b.sps_nal(39, 22)                  # 640x368
PPS = b.pps_nal()
PPS_QP = PPS[:1] + b.escape(b.Bits().ue(0).ue(0).u(0, 1).u(0, 1).ue(0).ue(0).ue(0).u(0, 1).u(0, 2)
                           .ue(1).ue(0).ue(0).u(1, 1).u(0, 1).u(0, 1).rbsp())  # same ids, other QP


def key(*sets: bytes) -> bytes:
    return b.AUD + b"".join(b.nal(s) for s in sets) + b.nal(b.idr())


def inter(*sets: bytes) -> bytes:
    return b.AUD + b"".join(b.nal(s) for s in sets) + b.nal(b.non_idr())


def ts(*pictures: bytes) -> bytes:
    return b.transport_stream([(p, 3000 * i, None) for i, p in enumerate(pictures)])


def convert(data: bytes) -> tuple[bytes, str]:
    lines = io.StringIO()
    return plexo.convert_ts_to_mp4(data, diagnostics=lines), lines.getvalue()


def stsc(out: bytes) -> list[tuple[int, int, int]]:
    return b.entries(b.tables(out)["stsc"], width=3)


def sync_samples(out: bytes) -> list[int]:
    return b.entries(b.tables(out)["stss"])


def units(sample: bytes) -> list[bytes]:
    found, at = [], 0
    while at < len(sample):
        n = struct.unpack(">I", sample[at:at + 4])[0]
        found.append(sample[at + 4:at + 4 + n])
        at += 4 + n
    return found


# ---- what is a change ----------------------------------------------------------------------

def test_parameter_sets_repeated_before_every_key_picture_are_one_generation():
    repeated = ts(key(SPS_A, PPS), inter(), key(SPS_A, PPS), inter(), key(SPS_A, PPS))
    once = ts(key(SPS_A, PPS), inter(), key(), inter(), key())
    out, lines = convert(repeated)
    assert out == convert(once)[0]
    assert [e[:3] for e in b.sample_entries(out)] == [("avc1", 320, 240)]
    assert stsc(out) == [(1, 5, 1)]
    assert "Parameter set" not in lines


@pytest.mark.parametrize("other", [b.pps_nal(pps_id=1), b.sps_nal(39, 22, sps_id=1)],
                         ids=["pps-under-another-id", "sps-under-another-id"])
def test_a_set_under_another_id_begins_no_generation(other):
    out, _ = convert(ts(key(SPS_A, PPS), inter(), key(other), inter()))
    assert len(b.sample_entries(out)) == 1
    assert stsc(out) == [(1, 4, 1)]


@pytest.mark.parametrize("changed, entries", [
    ((SPS_B, PPS), [("avc1", 320, 240), ("avc1", 640, 368)]),
    ((SPS_A, PPS_QP), [("avc1", 320, 240), ("avc1", 320, 240)]),
], ids=["new-sps", "new-pps-same-id"])
def test_a_changed_set_begins_an_entry_and_a_chunk_at_its_key_picture(changed, entries):
    out, lines = convert(ts(key(SPS_A, PPS), inter(), key(*changed), inter(), inter()))
    found = b.sample_entries(out)
    assert [e[:3] for e in found] == entries
    assert found[1][3] != found[0][3] and changed[0] in found[1][3] and changed[1] in found[1][3]
    assert stsc(out) == [(1, 2, 1), (2, 3, 2)]
    assert sync_samples(out) == [1, 3]
    samples = b.sample_bytes(out)
    # The chunks lie back to back; the switching sample carries its sets in-band too.
    assert units(samples[2]) == [changed[0], changed[1], b.idr()]
    assert units(samples[0]) == [b.idr()] and units(samples[3]) == [b.non_idr()]
    assert "Parameter set changes: 1, pictures left out before a key picture: 0" in lines
    # The track header gives the last entry's picture size.
    tkhd = b.box_payload(out, "moov/trak/tkhd")
    assert struct.unpack(">II", tkhd[-8:]) == (entries[-1][1] << 16, entries[-1][2] << 16)


def test_pictures_after_a_change_wait_for_a_key_picture_and_are_reported():
    out, lines = convert(ts(key(SPS_A, PPS), inter(), inter(SPS_B, PPS), inter(), key(), inter()))
    assert [e[:3] for e in b.sample_entries(out)] == [("avc1", 320, 240), ("avc1", 640, 368)]
    assert len(b.sample_bytes(out)) == 4
    assert stsc(out) == [(1, 2, 1), (2, 2, 2)]
    assert sync_samples(out) == [1, 3]
    assert "Parameter set changes: 1, pictures left out before a key picture: 2" in lines


def test_a_change_before_the_first_picture_replaces_the_first_sets():
    out, lines = convert(ts(b.AUD + b.nal(SPS_A) + b.nal(PPS), key(SPS_B, PPS), inter()))
    assert [e[:3] for e in b.sample_entries(out)] == [("avc1", 640, 368)]
    assert stsc(out) == [(1, 2, 1)]
    assert "Parameter set" not in lines


def test_changes_back_and_forth_each_begin_an_entry():
    out, _ = convert(ts(key(SPS_A, PPS), key(SPS_B, PPS), inter(), key(SPS_A, PPS), key(SPS_B, PPS)))
    assert [e[1:3] for e in b.sample_entries(out)] == [(320, 240), (640, 368), (320, 240), (640, 368)]
    assert stsc(out) == [(1, 1, 1), (2, 2, 2), (3, 1, 3), (4, 1, 4)]


def test_hevc_changed_sets_begin_an_entry():
    first = (b.hevc_vps(), b.hevc_sps(320, 240), b.hevc_pps())
    second = (b.hevc_vps(), b.hevc_sps(640, 360), b.hevc_pps())
    out = plexo.convert_ts_to_mp4(b.hevc_stream(
        b.hevc_picture(b.HEVC_IDR, *first), b.hevc_picture(), b.hevc_picture(b.HEVC_IDR, *first),
        b.hevc_picture(b.HEVC_IDR, *second), b.hevc_picture()), diagnostics=False)
    assert [e[:3] for e in b.sample_entries(out)] == [("hvc1", 320, 240), ("hvc1", 640, 360)]
    assert stsc(out) == [(1, 3, 1), (2, 2, 2)]
    # The unchanged VPS and PPS travel in-band with the changed SPS.
    assert units(b.sample_bytes(out)[3])[:3] == list(second)


# ---- fragmented ------------------------------------------------------------------------------

def test_fragments_begin_at_a_change_and_name_its_entry():
    data = ts(key(SPS_A, PPS), inter(), inter(), key(SPS_B, PPS), inter(), key(SPS_B, PPS), inter())
    out = plexo.convert_ts_to_fmp4(data, fragment_duration=100, diagnostics=False)
    assert [e[:3] for e in b.sample_entries(out)] == [("avc1", 320, 240), ("avc1", 640, 368)]
    assert [len(f[0][2]) for f in b.track_fragments(out)] == [3, 4]
    assert b.description_indexes(out) == [None, 2]  # the first entry is the default
    # One entry: no index written, as before.
    single = plexo.convert_ts_to_fmp4(ts(key(SPS_A, PPS), inter(), key(SPS_A, PPS)), diagnostics=False)
    assert b.description_indexes(single) == [None]


# ---- bad input -------------------------------------------------------------------------------

def alternating(pictures: int) -> bytes:
    return ts(*(key(SPS_A if i % 2 == 0 else SPS_B, PPS) for i in range(pictures)))


def test_a_change_at_every_picture_gives_an_entry_each_up_to_the_limit():
    out, lines = convert(alternating(1000))
    assert len(b.sample_entries(out)) == 1000
    assert stsc(out)[-1] == (1000, 1, 1000)
    assert "Parameter set changes: 999," in lines


def test_more_generations_than_the_limit_are_refused():
    with pytest.raises(ValueError, match="Too many parameter set changes in the video stream"):
        plexo.convert_ts_to_mp4(alternating(1001), diagnostics=False)
    with pytest.raises(ValueError, match="Too many parameter set changes"):
        plexo.convert_ts_to_fmp4(alternating(1001), diagnostics=False)


def test_changed_sets_without_a_key_picture_after_them_leave_the_rest_out():
    out, lines = convert(ts(key(SPS_A, PPS), inter(), *(inter(SPS_B if i % 2 else SPS_A, PPS_QP)
                                                          for i in range(50))))
    assert len(b.sample_entries(out)) == 1 and len(b.sample_bytes(out)) == 2
    assert "pictures left out before a key picture: 50" in lines


# ---- real streams: two encodes of different sizes joined -------------------------------------

SIZE_CHANGES = ["ts_h264_size_change.ts", "ts_hevc_size_change.ts"]


def frame_sizes(data: bytes, suffix: str) -> list[tuple[int, int]]:
    return [(f["width"], f["height"]) for f in mt.frames(data, "v:0", suffix)]


def converted_file(source: bytes) -> bytes:
    with tempfile.TemporaryDirectory() as folder:
        src, dst = os.path.join(folder, "in.ts"), os.path.join(folder, "out.mp4")
        with open(src, "wb") as handle:
            handle.write(source)
        plexo.convert_file(src, dst, diagnostics=False)
        with open(dst, "rb") as handle:
            return handle.read()


OUTPUTS = {
    "mp4": lambda s: plexo.convert_ts_to_mp4(s, diagnostics=False),
    "file": converted_file,
    "fmp4": lambda s: plexo.convert_ts_to_fmp4(s, fragment_duration=0.5, diagnostics=False),
}


@pytest.mark.parametrize("output", OUTPUTS)
@pytest.mark.parametrize("name", SIZE_CHANGES)
def test_every_picture_decodes_at_its_source_size(ffprobe, ffmpeg, name, output):
    source = read_fixture(name)
    out = OUTPUTS[output](source)
    sizes = frame_sizes(source, ".ts")
    assert sizes[0] == (320, 240) and sizes[-1] == (640, 360)
    assert frame_sizes(out, ".mp4") == sizes
    assert mt.differences(source, ".ts", out) == []
    entries = b.sample_entries(out)
    assert [e[1:3] for e in entries] == [(320, 240), (640, 360)]


def test_the_stream_switches_entries_without_in_band_sets_in_the_progressive_file(ffprobe, ffmpeg):
    """ffmpeg switches sample entries by stsc alone in a progressive file: with the in-band
    copies made unreadable (an unspecified NAL type), every picture still decodes."""
    out = plexo.convert_ts_to_mp4(read_fixture("ts_h264_size_change.ts"), diagnostics=False)
    switching = b.sample_bytes(out)[stsc(out)[0][1]]
    changed = bytearray(out)
    at = out.index(switching)
    for unit in units(switching)[:2]:
        changed[out.index(unit, at)] = 0x7E  # nal_unit_type 30
    assert mt.decode_errors(bytes(changed)) == ""
    assert frame_sizes(bytes(changed), ".mp4") == frame_sizes(out, ".mp4")


# ---- live: the segmenter and plexo hls -------------------------------------------------------

def segmented(source: bytes, chunk: int, duration: float = 0.5) -> tuple[bytes, list[tuple[int, bytes]], list[bytes]]:
    segmenter = plexo.TsSegmenter(duration)
    fragments = []
    for at in range(0, len(source), chunk):
        fragments += segmenter.push(source[at:at + chunk])
    fragments += segmenter.flush()
    return segmenter.init, segmenter.init_changes(), fragments


@pytest.mark.parametrize("chunk", [188 * 7, 1 << 20])
@pytest.mark.parametrize("name", SIZE_CHANGES)
def test_the_segmenter_writes_a_new_init_where_the_sets_change(name, chunk):
    source = read_fixture(name)
    init, changes, fragments = segmented(source, chunk)
    whole = plexo.convert_ts_to_fmp4(source, fragment_duration=0.5, diagnostics=False)
    assert len(changes) == 1 and changes[0][0] == b.description_indexes(whole).index(2) > 0
    first, later = changes[0]
    assert [e[1:3] for e in b.sample_entries(init)] == [(320, 240)]
    assert [e[1:3] for e in b.sample_entries(later)] == [(640, 360)]
    # The whole-stream file's fragments, but that none names an entry: each init has its own.
    joined = init + b"".join(fragments)
    assert b.track_fragments(joined) == b.track_fragments(whole) and media(joined) == media(whole)
    assert b.description_indexes(joined) == [None] * len(fragments)
    # Each init with its fragments decodes every picture at its size.
    before, after = init + b"".join(fragments[:first]), later + b"".join(fragments[first:])
    assert mt.decode_errors(before) == mt.decode_errors(after) == ""
    assert frame_sizes(before, ".mp4") + frame_sizes(after, ".mp4") == frame_sizes(source, ".ts")


def media(data: bytes) -> list[bytes]:
    return [data[o + h:o + s] for kind, o, s, h in b.iter_boxes(data) if kind == "mdat"]


def test_the_segmenter_describes_each_generation_in_an_init_of_its_own():
    data = ts(key(SPS_A, PPS), inter(), key(SPS_B, PPS), inter(), key(SPS_A, PPS), inter())
    init, changes, fragments = segmented(data, 188, duration=100)
    assert [c[0] for c in changes] == [1, 2] and len(fragments) == 3
    assert [[e[1:3] for e in b.sample_entries(c[1])] for c in [(0, init)] + changes] == [
        [(320, 240)], [(640, 368)], [(320, 240)]]
    whole = plexo.convert_ts_to_fmp4(data, fragment_duration=100, diagnostics=False)
    assert media(b"".join(fragments)) == media(whole)


def test_plexo_hls_marks_a_change_with_a_discontinuity_and_a_new_map(tmp_path, ffprobe, ffmpeg):
    source = tmp_path / "in.ts"
    source.write_bytes(read_fixture("ts_h264_size_change.ts"))
    done = subprocess.run([sys.executable, "-m", "plexo", "hls", "--segment-duration", "0.5", str(source),
                           str(tmp_path / "out")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "out" / "index.m3u8").read_text().splitlines()
    at = lines.index("#EXT-X-DISCONTINUITY")
    assert lines[at + 1] == '#EXT-X-MAP:URI="init_1.mp4"' and lines.count("#EXT-X-DISCONTINUITY") == 1
    names = [line for line in lines[at:] if line and not line.startswith("#")]
    joined = (tmp_path / "out" / "init_1.mp4").read_bytes() + b"".join(
        (tmp_path / "out" / name).read_bytes() for name in names)
    assert frame_sizes(joined, ".mp4") == [(640, 360)] * 40
    playlist = str(tmp_path / "out" / "index.m3u8")
    assert mt.run("ffprobe", "-v", "error", playlist).stderr == ""
    decoded = mt.run("ffmpeg", "-nostdin", "-v", "error", "-i", playlist, "-map", "0:v:0", "-f", "framemd5", "-")
    assert decoded.stderr == ""
    rows = [row.split(",")[-1].strip() for row in decoded.stdout.splitlines() if row and row[0] != "#"]
    assert rows == mt.framemd5(source.read_bytes(), "0:v:0", ".ts")


def test_sets_changed_and_changed_back_before_a_key_picture_begin_nothing():
    out, lines = convert(ts(key(SPS_A, PPS), inter(), inter(SPS_B, PPS), key(SPS_A, PPS), inter()))
    assert len(b.sample_entries(out)) == 1 and stsc(out) == [(1, 4, 1)]
    assert "Parameter set changes: 0, pictures left out before a key picture: 1" in lines


# ---- damaged streams found by fuzzing -----------------------------------------------------

CORPUS = pathlib.Path(__file__).parent.parent / "fuzz" / "corpus"


@pytest.mark.parametrize("found", sorted((CORPUS / "convert_ts_fmp4").glob("*"))
                         + sorted((CORPUS / "convert_ts").glob("*-crash-*")), ids=lambda path: path.name[:24])
def test_a_damaged_stream_converts_and_probes_as_its_file(found):
    """A parameter set after a slice in the picture that begins a generation (the sets join
    the sample in stream order), and a stream without a key picture (the probe counts none, as
    the file's empty stss says): the probe of the stream is that of the file written."""
    data = found.read_bytes()
    data = data[1:] if found.parent.name == "convert_ts_fmp4" else data
    converted = _plexo._convert_ts_to_mp4(data, False, False)
    fragmented = _plexo._convert_ts_to_fmp4(data, 2.0, False)
    assert fragmented[4:8] == b"ftyp"
    keys = ("kind", "codec", "samples", "key_frames", "width", "height")
    assert [tuple(t.get(k) for k in keys) for t in _plexo._probe(data)["tracks"]] == \
        [tuple(t.get(k) for k in keys) for t in _plexo._probe(converted)["tracks"]]
