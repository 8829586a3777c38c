"""How a converted video track says its pictures are shown: the sample aspect ratio (pasp and
the track's display width), the colour description (colr) and the HDR metadata (mdcv, clli)
from the stream's SPS and SEI, and the High profiles' avcC fields. Real files made by ffmpeg
(x264, x265) are judged by ffprobe for every output kind; hand-made parameter sets and SEI
cover the values real encoders do not write, absurd and cut-short ones included."""
from __future__ import annotations

import struct

import pytest

import builders as b
import media_tools as mt
import plexo
from conftest import OUTPUT_KINDS, converted_fixture

STSD = "moov/trak/mdia/minf/stbl/stsd"


KINDS = OUTPUT_KINDS
output = converted_fixture


def entry(mp4: bytes) -> tuple[str, dict[str, bytes]]:
    """The first track's sample entry type and its child boxes by type."""
    stsd = b.box_payload(mp4, STSD)
    kind = stsd[12:16].decode()
    children = {k: stsd[o + h:o + s] for k, o, s, h in b.iter_boxes(stsd, 8 + 8 + 78)}
    return kind, children


def tkhd_width(mp4: bytes) -> int:
    return struct.unpack(">I", b.box_payload(mp4, "moov/trak/tkhd")[76:80])[0]


def video_stream(data: bytes, suffix: str) -> dict:
    return next(s for s in mt.streams(data, suffix) if s["codec_type"] == "video")


# ---- real files --------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, sar, shown", [("ts_anamorphic.ts", (64, 45), 1024), ("ts_hevc_sar.ts", (4, 3), 320 * 4 / 3)])
def test_anamorphic_pictures_keep_their_shape(ffprobe, fixture_bytes, kind, name, sar, shown):
    source, out = fixture_bytes(name), output(kind, name)
    assert mt.probe_errors(out) == ""
    fields = ("width", "height", "sample_aspect_ratio", "display_aspect_ratio")
    expected, got = video_stream(source, ".ts"), video_stream(out, ".mp4")
    assert [got[f] for f in fields] == [expected[f] for f in fields]
    assert entry(out)[1]["pasp"] == struct.pack(">II", *sar)
    assert tkhd_width(out) == round(shown * 65536)  # 720 x 64/45: shown 1024 wide


COLOUR_FIELDS = ("color_range", "color_space", "color_transfer", "color_primaries")


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, colr", [("ts_bt709.ts", (1, 1, 1, False)), ("ts_hdr10.ts", (9, 16, 9, False)),
                                        ("ts_hlg.ts", (9, 18, 9, True))])
def test_the_colour_description_is_kept(ffprobe, fixture_bytes, kind, name, colr):
    source, out = fixture_bytes(name), output(kind, name)
    assert mt.probe_errors(out) == ""
    expected, got = video_stream(source, ".ts"), video_stream(out, ".mp4")
    assert [got[f] for f in COLOUR_FIELDS] == [expected[f] for f in COLOUR_FIELDS]
    primaries, transfer, matrix, full = colr
    assert entry(out)[1]["colr"] == b"nclx" + struct.pack(">3HB", primaries, transfer, matrix, 0x80 if full else 0)
    assert "pasp" not in entry(out)[1]  # square samples need none


HDR_SIDE_DATA = ("Mastering display metadata", "Content light level metadata")


@pytest.mark.parametrize("kind", KINDS)
def test_hdr10_metadata_goes_into_the_sample_entry(ffprobe, fixture_bytes, kind):
    source, out = fixture_bytes("ts_hdr10.ts"), output(kind, "ts_hdr10.ts")
    first = mt.probe(source, ".ts", "-select_streams", "v", "-read_intervals", "%+#1", "-show_frames")["frames"][0]
    expected = [d for d in first["side_data_list"] if d["side_data_type"] in HDR_SIDE_DATA]
    assert len(expected) == 2
    # What a player reads from the track's description, before any picture.
    got = video_stream(out, ".mp4").get("side_data_list", [])
    assert [d for d in got if d["side_data_type"] in HDR_SIDE_DATA] == expected
    children = entry(out)[1]
    assert children["mdcv"] == b.MASTERING_DISPLAY and children["clli"] == b.CONTENT_LIGHT_LEVEL


@pytest.mark.parametrize("kind", KINDS)
def test_hlg_has_no_hdr10_metadata(kind):
    children = entry(output(kind, "ts_hlg.ts"))[1]
    assert "mdcv" not in children and "clli" not in children and "colr" in children


@pytest.mark.parametrize("name", ["ts_anamorphic.ts", "ts_hevc_sar.ts", "ts_bt709.ts", "ts_hdr10.ts", "ts_hlg.ts"])
def test_every_picture_decodes_with_the_new_boxes(ffmpeg, fixture_bytes, name):
    source = fixture_bytes(name)
    for kind in KINDS:
        out = output(kind, name)
        assert mt.decode_errors(out) == ""
        assert mt.framemd5(out, "0:v:0") == mt.framemd5(source, "0:v:0", ".ts")


def test_segments_and_the_one_shot_file_describe_pictures_alike(fixture_bytes):
    for name in ("ts_anamorphic.ts", "ts_hevc_sar.ts", "ts_hdr10.ts", "ts_hlg.ts"):
        assert output("segmenter", name) == output("fmp4", name)


# ---- hand-made parameter sets ------------------------------------------------------------------

def h264_stream(sps: bytes, *units: bytes) -> bytes:
    """Two pictures of 320x240 unless the SPS says otherwise; `units` go before the IDR slice."""
    first = b.AUD + b.nal(sps) + b.nal(b.pps_nal()) + b"".join(b.nal(u) for u in units) + b.nal(b.idr())
    return b.transport_stream([(first, 90000, None), (b.AUD + b.nal(b.non_idr()), 93000, None)], audio_stream=False)


def converted_entry(source: bytes) -> tuple[bytes, dict[str, bytes]]:
    out = plexo.convert_ts_to_mp4(source, diagnostics=False)
    return out, entry(out)[1]


@pytest.mark.parametrize("sar, pasp", [
    ((255, 64, 45), (64, 45)),   # Extended_SAR
    ((14,), (4, 3)),             # from the table
    ((2,), (12, 11)),
    ((255, 16, 1), (16, 1)),     # as far as a sample is stretched
    ((255, 1, 16), (1, 16)),
])
def test_a_signalled_sample_aspect_ratio_gives_pasp_and_the_display_width(sar, pasp):
    out, children = converted_entry(h264_stream(b.sps_nal(19, 14, sar=sar)))
    assert children["pasp"] == struct.pack(">II", *pasp)
    assert tkhd_width(out) == round(320 * pasp[0] / pasp[1] * 65536)
    stsd = b.box_payload(out, STSD)
    assert struct.unpack(">HH", stsd[16 + 24:16 + 28]) == (320, 240)  # the coded size stays


@pytest.mark.parametrize("sar, width_mbs_minus1", [
    ((1,), 19),                   # square: nothing to say
    ((255, 7, 7), 19),
    ((0,), 19),                   # unspecified
    ((17,), 19),                  # reserved
    ((254,), 19),
    ((255, 0, 0), 19),
    ((255, 0, 45), 19),
    ((255, 64, 0), 19),
    ((255, 65535, 1), 19),
    ((255, 1, 65535), 19),
    ((255, 17, 1), 19),           # stretched further than any stream does
    ((255, 16, 1), 255),          # 4096 x 16 does not fit a track's 16-bit width
])
def test_square_unspecified_or_absurd_ratios_give_no_pasp(sar, width_mbs_minus1):
    out, children = converted_entry(h264_stream(b.sps_nal(width_mbs_minus1, 14, sar=sar)))
    assert "pasp" not in children
    assert tkhd_width(out) == (width_mbs_minus1 + 1) * 16 << 16


def test_a_wide_picture_stretched_within_the_track_width_keeps_its_ratio():
    out, children = converted_entry(h264_stream(b.sps_nal(255, 14, sar=(255, 15, 1))))
    assert children["pasp"] == struct.pack(">II", 15, 1) and tkhd_width(out) == 61440 << 16


def test_an_sps_that_ends_within_its_vui_keeps_the_picture_and_says_nothing_it_did_not_read():
    full, bare = b.sps_nal(19, 14, sar=(255, 64, 45), colour=(1, 1, 1, 0)), b.sps_nal(19, 14)
    seen = []
    for end in range(len(bare), len(full)):
        out, children = converted_entry(h264_stream(full[:end]))
        assert children.get("pasp", struct.pack(">II", 64, 45)) == struct.pack(">II", 64, 45)
        assert tkhd_width(out) == (round(320 * 64 / 45 * 65536) if "pasp" in children else 320 << 16)
        assert children.get("colr", b"nclx\0\1\0\1\0\1\0") == b"nclx\0\1\0\1\0\1\0"
        assert b.sample_bytes(out)[0].endswith(b.idr())
        seen.append(tuple(k for k in ("pasp", "colr") if k in children))
    assert seen[0] == () and ("pasp",) in seen


@pytest.mark.parametrize("colour, colr", [
    ((1, 1, 1, 0), (1, 1, 1, 0)),
    ((9, 16, 9, 1), (9, 16, 9, 0x80)),
    ((0, 0, None, 1), (2, 2, 2, 0x80)),  # full range alone
])
def test_a_described_colour_gives_colr(colour, colr):
    _, children = converted_entry(h264_stream(b.sps_nal(19, 14, colour=colour)))
    assert children["colr"] == b"nclx" + struct.pack(">3HB", *colr)


def test_limited_range_without_a_colour_description_gives_no_colr():
    _, children = converted_entry(h264_stream(b.sps_nal(19, 14, colour=(0, 0, None, 0))))
    assert list(children) == ["avcC"]


@pytest.mark.parametrize("profile, chroma, depth, tail", [
    (100, 1, 8, b"\xfd\xf8\xf8\x00"),
    (110, 1, 10, b"\xfd\xfa\xfa\x00"),
    (122, 2, 10, b"\xfe\xfa\xfa\x00"),
    (144, 3, 8, b"\xff\xf8\xf8\x00"),
    (244, 3, 14, b""),     # a newer profile: its record ends with the PPS
    (66, 1, 8, b""),
    (77, 1, 8, b""),
])
def test_the_high_profiles_avcc_carries_chroma_format_and_bit_depths(profile, chroma, depth, tail):
    sps, pps = b.sps_nal(19, 14, profile=profile, chroma_format_idc=chroma, bit_depth=depth), b.pps_nal()
    out, children = converted_entry(h264_stream(sps))
    records = bytes([1, profile, 0, 0x1F, 0xFF, 0xE1]) + struct.pack(">H", len(sps)) + sps
    assert children["avcC"] == records + b"\x01" + struct.pack(">H", len(pps)) + pps + tail


def hevc_stream(sps: bytes, *sei: bytes, later_sei: tuple[bytes, ...] = ()) -> bytes:
    first = b.hevc_picture(b.HEVC_IDR, b.hevc_vps(), sps, b.hevc_pps(), *sei)
    return b.hevc_stream(first, b.hevc_picture(b.HEVC_TRAIL, *later_sei))


@pytest.mark.parametrize("tools", [
    {},
    {"scaling": 1, "pcm": 1, "sets": [(2, 1), "predicted", "predicted", (1, 0)], "long_term": 3},
    {"sets": []},
])
def test_an_hevc_vui_is_read_past_the_coding_tools(tools):
    sps = b.hevc_sps(tools=tools, sar=(255, 64, 45), colour=(9, 16, 9, 0))
    out, children = converted_entry(hevc_stream(sps))
    assert children["pasp"] == struct.pack(">II", 64, 45) and tkhd_width(out) == round(320 * 64 / 45 * 65536)
    assert children["colr"] == b"nclx" + struct.pack(">3HB", 9, 16, 9, 0)


@pytest.mark.parametrize("tools", [{"sets": [(1, 0)] * 65}, {"sets": [(17, 0)]}, {"long_term": 33}])
def test_an_hevc_sps_beyond_its_ranges_describes_no_vui(tools):
    out, children = converted_entry(hevc_stream(b.hevc_sps(tools=tools, sar=(255, 64, 45))))
    assert "pasp" not in children and tkhd_width(out) == 320 << 16
    assert "hvcC" in children


# ---- hand-made SEI -------------------------------------------------------------------------------

MDCV = b.sei_message(137, b.MASTERING_DISPLAY)
CLLI = b.sei_message(144, b.CONTENT_LIGHT_LEVEL)


@pytest.mark.parametrize("units", [
    (b.sei_nal(MDCV, CLLI),),
    (b.sei_nal(CLLI), b.sei_nal(MDCV)),
    (b.sei_nal(b.sei_message(300, b"\x01\x02"), b.sei_message(5, bytes(20)), MDCV, CLLI),),
])
def test_hdr_sei_of_the_first_picture_become_mdcv_and_clli(units):
    _, children = converted_entry(hevc_stream(b.hevc_sps(), *units))
    assert children["mdcv"] == b.MASTERING_DISPLAY and children["clli"] == b.CONTENT_LIGHT_LEVEL


def test_h264_streams_carry_the_same_sei():
    _, children = converted_entry(h264_stream(b.sps_nal(19, 14), b.sei_nal(MDCV, CLLI, hevc=False)))
    assert children["mdcv"] == b.MASTERING_DISPLAY and children["clli"] == b.CONTENT_LIGHT_LEVEL


@pytest.mark.parametrize("units, kept", [
    ((b.sei_nal(b.sei_message(137, b.MASTERING_DISPLAY[:10], size=24)),), []),          # cut short
    ((b.sei_nal(b.sei_message(137, b.MASTERING_DISPLAY[:10], size=24), trailing=False),), []),
    ((b.sei_nal(b.sei_message(137, b.MASTERING_DISPLAY[:20]), CLLI),), ["clli"]),        # too short
    ((b.sei_nal(b.sei_message(144, b"\x03"), MDCV),), ["mdcv"]),
    ((b.sei_nal(CLLI[:3], trailing=False),), []),
    ((b.sei_nal(b"\xff" * 40, trailing=False),), []),
    ((b.sei_nal(MDCV + CLLI[:-1], trailing=False),), ["mdcv"]),
])
def test_cut_short_hdr_sei_are_passed_over(units, kept):
    source = hevc_stream(b.hevc_sps(), *units)
    out, children = converted_entry(source)
    assert [k for k in ("mdcv", "clli") if k in children] == kept
    assert len(b.sample_bytes(out)) == 2  # both pictures, their SEI still in them


def test_hdr_sei_after_the_first_picture_are_not_read():
    _, children = converted_entry(hevc_stream(b.hevc_sps(), later_sei=(b.sei_nal(MDCV, CLLI),)))
    assert "mdcv" not in children and "clli" not in children
