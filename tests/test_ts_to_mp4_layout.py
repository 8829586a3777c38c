"""convert_ts_to_mp4, byte by byte: the file layout, sample framing, timing tables and the
AAC description, on transport streams built here access unit by access unit."""
from __future__ import annotations

import struct

import pytest

import _plexo
import plexo
from builders import VIDEO_PID, box_payload, find_box, next_track_id, packetize, pat, pes, pmt, ts_packet
from builders import (AUD, PPS, SPS, aac_frames, children, idr, nal, non_idr,
                         signed, table, top_level, trak_box, transport_stream)

FTYP = bytes.fromhex("0000001c66747970") + b"isom" + bytes.fromhex("00000200") + b"isomiso2mp41"


def convert(video, audio=(), **kw) -> bytes:
    return _plexo.convert_ts_to_mp4(transport_stream(video, audio, **kw))


def gop(count: int, step: int = 3000, start: int = 0, offsets=None):
    """`count` access units with delimiters: an IDR with parameter sets, then P slices."""
    units = []
    for i in range(count):
        body = AUD + (nal(SPS) + nal(PPS) + nal(idr()) if i == 0 else nal(non_idr()))
        pts = start + i * step
        dts = None if offsets is None else pts - offsets[i]
        units.append((body, pts, dts))
    return units


# ---- file layout ------------------------------------------------------------------------

def test_file_is_ftyp_moov_mdat_with_chunk_offsets_at_the_media():
    video = gop(3)
    frames = aac_frames(4, size=11)
    out = convert(video, [(frames, 0)])
    assert out[:28] == FTYP
    assert top_level(out) == ["ftyp", "moov", "mdat"]
    assert children(out, "moov") == ["mvhd", "trak", "trak"]
    moov_size = struct.unpack(">I", out[28:32])[0]
    video_bytes = sum(table(out, 0, "stsz")[1][2:])
    audio_bytes = sum(table(out, 1, "stsz")[1][2:])
    # mdat header right after moov, its size covering both chunks
    assert out[28 + moov_size + 4: 28 + moov_size + 8] == b"mdat"
    assert struct.unpack(">I", out[28 + moov_size: 32 + moov_size])[0] == 8 + video_bytes + audio_bytes
    # video chunk at 36 + M starts with the first sample's first NAL length and IDR header
    assert table(out, 0, "stco")[1] == [1, 36 + moov_size]
    assert out[36 + moov_size: 41 + moov_size] == b"\x00\x00\x00\x04\x65"
    # audio chunk right after the video, first byte of the first raw AAC frame (ADTS removed)
    assert table(out, 1, "stco")[1] == [1, 36 + moov_size + video_bytes]
    assert out[36 + moov_size + video_bytes: 36 + moov_size + video_bytes + 11] == b"\x00" * 11
    assert len(out) == 36 + moov_size + video_bytes + audio_bytes


@pytest.mark.parametrize("video, audio, kw, handler", [
    (gop(2), (), {"audio_stream": False}, b"vide"),             # a camera: no audio stream
    (gop(2), (), {}, b"vide"),                                  # an audio stream that stays silent
    ([], [(aac_frames(3), 0)], {"video_stream": False}, b"soun"),  # radio
    ([(b"", 0, None)], [(aac_frames(3), 0)], {}, b"soun"),      # a video stream without bytes
])
def test_a_programme_with_one_stream_gives_one_track(video, audio, kw, handler):
    out = convert(video, audio, **kw)
    assert children(out, "moov") == ["mvhd", "trak"]
    assert trak_box(out, 0, "mdia/hdlr")[8:12] == handler
    assert struct.unpack(">I", trak_box(out, 0, "tkhd")[12:16])[0] == 1  # track_ID
    assert next_track_id(out) == 2


def test_a_programme_with_neither_stream_has_no_video():
    with pytest.raises(ValueError, match="^No video data found$"):
        convert([], [], video_stream=False)


def test_output_does_not_depend_on_reset_timestamps():
    ts = transport_stream(gop(4, start=900000), [(aac_frames(5), 900000)])
    assert _plexo.convert_ts_to_mp4(ts, True) == _plexo.convert_ts_to_mp4(ts, reset_timestamps=False)


def test_no_audio_frames_gives_single_track_and_next_track_id_2():
    out = convert(gop(2), [(b"", 0)])
    assert children(out, "moov") == ["mvhd", "trak"]
    assert struct.unpack(">I", box_payload(out, "moov/mvhd")[-4:])[0] == 2


# ---- sample framing ---------------------------------------------------------------------

def samples(out: bytes) -> list[bytes]:
    sizes = table(out, 0, "stsz")[1][2:]
    offset = table(out, 0, "stco")[1][1]
    result = []
    for size in sizes:
        result.append(out[offset: offset + size])
        offset += size
    return result


def test_delimiters_cut_samples_and_start_codes_become_lengths():
    # delimiter, slice, delimiter, slice with a 3-byte start code
    out = convert([(AUD + nal(SPS) + nal(PPS) + nal(b"\x65\x88\x84"), 0, None),
                   (AUD[:5] + b"\xf0" + nal(b"\x41\x9a", long_start=False), 3000, None)])
    assert samples(out) == [b"\x00\x00\x00\x03\x65\x88\x84", b"\x00\x00\x00\x02\x41\x9a"]


def test_parameter_sets_and_delimiters_stay_out_of_samples_and_go_to_avcc():
    out = convert([(AUD + nal(SPS) + nal(PPS) + nal(idr()), 0, None),
                   (AUD + nal(SPS) + nal(PPS), 3000, None)])  # no picture: no sample
    assert samples(out) == [b"\x00\x00\x00\x04" + idr()]
    avcc = box_payload(out, "moov/trak/mdia/minf/stbl/stsd/avc1/avcC")
    assert avcc == (bytes([1, SPS[1], SPS[2], SPS[3], 0xFF, 0xE1]) + struct.pack(">H", len(SPS)) + SPS
                    + b"\x01" + struct.pack(">H", len(PPS)) + PPS
                    + b"\xfd\xf8\xf8\x00")  # High profile: 4:2:0, 8 bits, no SPS extension


def test_extra_zero_before_a_start_code_stays_with_the_unit_before():
    out = convert([(AUD + nal(SPS) + nal(PPS) + nal(b"\x65\x88\x84") + b"\x00" + nal(b"\x41\x40"), 0, None)])
    # 0x41 0x40: first_mb_in_slice 1, same picture, so one sample
    assert samples(out) == [b"\x00\x00\x00\x04\x65\x88\x84\x00\x00\x00\x00\x02\x41\x40"]


@pytest.mark.parametrize("code, in_first", [(b"\x00\x00\x00\x01", 1), (b"\x00\x00\x00\x01", 2),
                                           (b"\x00\x00\x00\x01", 3), (b"\x00\x00\x01", 1),
                                           (b"\x00\x00\x01", 2)])
@pytest.mark.parametrize("between", [b"", ts_packet(0x1FFF, b"\xff" * 184)])
def test_a_start_code_split_between_packets_cuts_the_unit(tmp_path, code, in_first, between):
    # The slice's start code begins at the end of one packet's payload and ends in the next,
    # behind its adaptation field (and behind a packet of another PID).
    head = pes(AUD + nal(SPS) + nal(PPS) + nal(idr()), pts=0)
    first = head + code[:in_first]
    rest = code[in_first:] + b"\x41\x40"  # first_mb_in_slice 1: the same picture
    stream = (pat() + pmt([(0x1B, VIDEO_PID)]) + ts_packet(VIDEO_PID, first, pusi=True)
              + between + ts_packet(VIDEO_PID, rest, counter=1))
    out = _plexo.convert_ts_to_mp4(stream)
    assert samples(out) == [b"\x00\x00\x00\x04" + idr() + b"\x00\x00\x00\x02\x41\x40"]
    (tmp_path / "in.ts").write_bytes(stream)
    plexo.convert_file(tmp_path / "in.ts", tmp_path / "out.mp4", diagnostics=False)
    assert (tmp_path / "out.mp4").read_bytes() == out


@pytest.mark.parametrize("long_start", [True, False])
def test_without_delimiters_pictures_are_cut_at_their_first_slice(long_start):
    # IDR of two slices (first_mb 0, then 1), SEI, P picture of two slices, P picture.
    stream = (nal(SPS, long_start) + nal(PPS, long_start) + nal(idr(True), long_start)
              + nal(idr(False), long_start) + nal(b"\x06\x05\x01\x00\x80", long_start)
              + nal(non_idr(True), long_start) + nal(non_idr(False), long_start)
              + nal(non_idr(True), long_start))
    # one PES holds the whole stream
    out = convert([(stream, 0, None)])
    assert samples(out) == [
        b"\x00\x00\x00\x04" + idr(True) + b"\x00\x00\x00\x04" + idr(False),
        b"\x00\x00\x00\x05\x06\x05\x01\x00\x80" + b"\x00\x00\x00\x04" + non_idr(True)
        + b"\x00\x00\x00\x04" + non_idr(False),
        b"\x00\x00\x00\x04" + non_idr(True),
    ]


@pytest.mark.parametrize("body", [
    b"\x12\x34\x56\x78",              # no start code
    AUD + nal(SPS) + nal(PPS),           # parameter sets, no picture
    AUD + nal(b"\x06\x05\x01\x00\x80"),  # SEI only
])
def test_stream_without_a_picture_has_no_video(body):
    with pytest.raises(ValueError, match="^No video data found$"):
        convert([(body, 0, None)], [(aac_frames(3), 0)])


# ---- key frames -------------------------------------------------------------------------

def test_stss_lists_the_samples_holding_an_idr_slice():
    units = gop(5)
    units[3] = (AUD + nal(SPS) + nal(PPS) + nal(idr()), 9000, None)
    out = convert(units)
    assert table(out, 0, "stss") == (0, [2, 1, 4])


def test_without_an_idr_the_stss_is_empty():
    # no stss at all would declare every picture a sync sample
    units = [(AUD + (nal(SPS) + nal(PPS) if i == 0 else b"") + nal(non_idr()), i * 3000, None)
             for i in range(4)]
    out = convert(units)
    assert table(out, 0, "stss") == (0, [0])
    assert table(out, 0, "stsz")[1][1] == 4


# ---- video timing -----------------------------------------------------------------------

@pytest.mark.parametrize("pts", [
    [0, 3000, 6000, 9000],
    [900000, 903000, 906000, 909000],
])
def test_constant_rate_keeps_one_stts_entry(pts):
    units = [(body, p, None) for (body, _, _), p in zip(gop(4), pts)]
    out = convert(units)
    assert table(out, 0, "stts")[1] == [1, 4, 3000]
    assert struct.unpack(">I", box_payload(out, "moov/mvhd")[16:20])[0] == 4 * 3000
    assert struct.unpack(">I", box_payload(out, "moov/trak/mdia/mdhd")[16:20])[0] == 4 * 3000


@pytest.mark.parametrize("dts, runs", [
    # a run of dropped pictures: each sample lasts until the next decodes, the last as the one before
    ([0, 3000, 6000, 15000, 18000], [2, 3000, 1, 9000, 2, 3000]),
    ([0, 3003, 6006, 9009], [4, 3003]),
    ([0, 1, 2, 3], [4, 1]),
])
def test_sample_durations_are_decode_time_differences(dts, runs):
    units = [(body, d, None) for (body, _, _), d in zip(gop(len(dts)), dts)]
    assert table(convert(units), 0, "stts")[1] == [len(runs) // 2] + runs


@pytest.mark.parametrize("pts, runs", [
    ([None, None, None, None], [4, 3000]),   # no timestamps at all
    ([5, 5, 5, 5], [4, 3000]),               # time that does not move is not believed
    ([0, None, None, 9000], [4, 3000]),      # pictures without a PES of their own are spread evenly
])
def test_missing_or_stuck_timestamps_fall_back(pts, runs):
    units = [(body, p, None) for (body, _, _), p in zip(gop(4), pts)]
    assert table(convert(units), 0, "stts")[1] == [len(runs) // 2] + runs


def test_constant_pts_minus_dts_writes_no_ctts():
    out = convert(gop(4, offsets=[3003] * 4))
    assert table(out, 0, "ctts") is None


def test_negative_offsets_use_a_signed_ctts():
    # PTS − DTS 6006 then 3003: the second offset is −3003 relative to the first
    units = [(gop(2)[0][0], 6006, 0), (gop(2)[1][0], 9009, 6006)]
    version, entries = table(convert(units), 0, "ctts")
    assert version == 1
    assert entries == [2, 1, 0, 1, 0xFFFFF445]


def test_positive_offsets_keep_ctts_version_0():
    units = [(body, pts, pts - off) for (body, pts, _), off in zip(gop(3), [0, 3000, 0])]
    version, entries = table(convert(units), 0, "ctts")
    assert version == 0 and entries == [3, 1, 0, 1, 3000, 1, 0]


def sample_offsets(entries) -> list[int]:
    """The per-sample composition offsets of a run-length ctts (count, then pairs)."""
    offsets = []
    for i in range(entries[0]):
        offsets += [signed(entries[2 + 2 * i])] * entries[1 + 2 * i]
    return offsets


def test_ctts_gives_every_sample_its_offset_when_a_pes_carries_two_access_units():
    g = gop(4)
    units = [(g[0][0], 3000, 0), (g[1][0] + g[2][0], 15000, 3000), (g[3][0], 9000, 9000)]
    out = convert(units)
    sample_count = table(out, 0, "stsz")[1][1]
    version, entries = table(out, 0, "ctts")
    assert sample_count == 4
    # the second PES's timestamps belong to the first picture beginning in it; the third
    # picture has none, decodes midway and keeps the offset before it (one run of two)
    assert sample_offsets(entries) == [0, 9000, 9000, -3000]
    assert entries[0] == 3
    assert table(out, 0, "stts")[1] == [1, 4, 3000]


def test_vfr_b_frames_present_each_picture_at_its_own_time():
    # I P B B with DTS 0, 3000, 6000, 15000 (a gap) and their own PTS
    g = gop(4)
    units = [(g[0][0], 3000, 0), (g[1][0], 12000, 3000), (g[2][0], 9000, 6000), (g[3][0], 18000, 15000)]
    out = convert(units)
    assert table(out, 0, "stts")[1] == [2, 2, 3000, 2, 9000]
    _, entries = table(out, 0, "ctts")
    decode = [0, 3000, 6000, 15000]
    shown = [d + o for d, o in zip(decode, sample_offsets(entries))]
    assert shown == [p - 3000 for p in (3000, 12000, 9000, 18000)]


def test_pts_wrap_inside_the_stream_keeps_duration_and_offsets():
    wrap = 1 << 33
    start = wrap - 6000
    units = [(body, (start + i * 3000) % wrap, (start + i * 3000 - 3000) % wrap)
             for i, (body, _, _) in enumerate(gop(6))]
    out = convert(units)
    assert table(out, 0, "stts")[1] == [1, 6, 3000]
    assert table(out, 0, "ctts") is None  # PTS − DTS stays 3000 across the wrap


# ---- audio description and timing -------------------------------------------------------

# Five raw frames of 20 bytes, 1024 samples at 48 kHz each: largest frame 20 bytes, 7500 bit/s
# (the track is shorter than a second, so its busiest second is the whole of it).
ESDS_48K_STEREO = bytes.fromhex("00000000 0319 0001 00 0411 40 15 000014 00001d4c 00001d4c 0502 1190 0601 02")


def test_48k_stereo_keeps_the_movie_clock_and_states_the_measured_rates():
    out = convert(gop(3), [(aac_frames(5), 0)])
    mdhd = trak_box(out, 1, "mdia/mdhd")
    assert struct.unpack(">II", mdhd[12:20]) == (90000, 5 * 1920)
    assert table(out, 1, "stts")[1] == [1, 5, 1920]
    mp4a = trak_box(out, 1, "mdia/minf/stbl/stsd/mp4a")
    assert struct.unpack(">HHI", mp4a[16:20] + mp4a[24:28]) == (2, 16, 48000 << 16)
    assert trak_box(out, 1, "mdia/minf/stbl/stsd/mp4a/esds") == ESDS_48K_STEREO
    assert trak_box(out, 1, "edts") is None  # audio starts with the video


@pytest.mark.parametrize("index, rate, channels, asc", [
    (4, 44100, 1, b"\x12\x08"),
    (6, 24000, 2, b"\x13\x10"),
    (3, 48000, 6, b"\x11\xb0"),
])
def test_audio_description_is_the_streams_own(index, rate, channels, asc):
    frames = aac_frames(4, sampling_index=index, channels=channels)
    out = convert(gop(3), [(frames, 0)])
    esds = trak_box(out, 1, "mdia/minf/stbl/stsd/mp4a/esds")
    assert esds[-7:-3] == b"\x05\x02" + asc
    mp4a = trak_box(out, 1, "mdia/minf/stbl/stsd/mp4a")
    assert struct.unpack(">H", mp4a[16:18])[0] == channels
    assert struct.unpack(">I", mp4a[24:28])[0] == rate << 16
    timescale = struct.unpack(">I", trak_box(out, 1, "mdia/mdhd")[12:16])[0]
    delta = table(out, 1, "stts")[1][2]
    assert delta * 90000 // timescale == 1024 * 90000 // rate if index == 3 else (timescale, delta) == (rate, 1024)


def test_late_audio_gets_an_empty_edit_before_it():
    out = convert(gop(3), [(aac_frames(100), 9000)])
    elst = trak_box(out, 1, "edts/elst")
    assert elst[:4] == b"\x00\x00\x00\x00"
    # (9000 empty), then the 100 frames from media time 0
    assert struct.unpack(">I IIHH IIHH", elst[4:]) == (2, 9000, 0xFFFFFFFF, 1, 0, 192000, 0, 1, 0)
    assert struct.unpack(">I", trak_box(out, 1, "tkhd")[20:24])[0] == 9000 + 192000


def test_early_audio_is_kept_and_the_video_waits():
    # audio starts one frame (1920 ticks) before the video: every frame stays, and the video
    # gets an empty edit of the difference; 48 kHz keeps the 90 kHz clock
    out = convert(gop(3, start=1920), [(aac_frames(10), 0)])
    assert trak_box(out, 1, "edts") is None
    assert struct.unpack(">II", trak_box(out, 1, "mdia/mdhd")[12:20]) == (90000, 10 * 1920)
    assert table(out, 1, "stsz")[1][1] == 10
    elst = trak_box(out, 0, "edts/elst")
    assert struct.unpack(">I IIHH IIHH", elst[4:]) == (2, 1920, 0xFFFFFFFF, 1, 0, 9000, 0, 1, 0)
    assert struct.unpack(">I", trak_box(out, 0, "tkhd")[20:24])[0] == 1920 + 9000


def test_audio_offset_is_measured_from_the_first_presented_picture():
    # B-frame order: I (pts 6000), B (pts 3000), P (pts 9000) with DTS 0, 3000, 6000 — the
    # B picture is presented first, at 3000, so audio with PTS 3000 starts with it.
    g = gop(3)
    units = [(g[0][0], 6000, 0), (g[1][0], 3000, 3000), (g[2][0], 9000, 6000)]
    out = convert(units, [(aac_frames(5), 3000)])
    assert trak_box(out, 1, "edts") is None
    version, entries = table(out, 0, "ctts")
    # offsets shifted so that the earliest presentation is at movie time 0
    times = [i * 3000 + o for i, o in enumerate(sample_offsets(entries))]
    assert min(times) == 0 and times == [3000, 0, 6000]


def test_frames_before_the_first_pts_are_timed_back_from_it():
    # three frames without a PTS, then a PES at 5760: the first frame started at 0
    out = convert(gop(3, start=1920), [(aac_frames(3), None), (aac_frames(3), 5760)])
    assert trak_box(out, 1, "edts") is None
    elst = trak_box(out, 0, "edts/elst")
    assert struct.unpack(">I II", elst[4:16]) == (2, 1920, 0xFFFFFFFF)


def test_audio_without_any_pts_starts_with_the_video():
    out = convert(gop(3, start=1920), [(aac_frames(3), None)])
    assert trak_box(out, 0, "edts") is None and trak_box(out, 1, "edts") is None


def test_movie_lasts_as_long_as_the_longest_track():
    out = convert(gop(2), [(aac_frames(50), 0)])  # 6000 ticks of video, 96000 of audio
    assert struct.unpack(">I", box_payload(out, "moov/mvhd")[16:20])[0] == 96000


# ---- sample description -----------------------------------------------------------------

@pytest.mark.parametrize("parameter_sets", [
    nal(b"\x67\x42\x1e") + nal(PPS),  # an SPS too short to name the picture size
    nal(SPS),                          # no PPS
], ids=["short-sps", "no-pps"])
def test_pictures_without_usable_parameter_sets_give_no_file(parameter_sets):
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        convert([(AUD + parameter_sets + nal(idr()), 0, None)])


# ---- damaged and cut-short streams ------------------------------------------------------

def damaged_adts(payload: bytes, length: int) -> bytes:
    """An ADTS frame whose frame_length field says `length`."""
    from builders import adts_frame
    frame = bytearray(adts_frame(payload))
    frame[3] = (frame[3] & 0xFC) | (length >> 11)
    frame[4], frame[5] = (length >> 3) & 0xFF, ((length & 7) << 5) | 0x1F
    return bytes(frame)


@pytest.mark.parametrize("length", [0, 3, 6, 8191])
def test_frames_around_a_damaged_adts_header_keep_their_bytes(length):
    from builders import adts_frame
    frames = (adts_frame(b"\x01" * 20) + damaged_adts(b"\x07" * 30, length)
              + adts_frame(b"\x02" * 25) + adts_frame(b"\x03" * 9))
    out = convert(gop(3), [(frames, 0)])
    assert table(out, 1, "stsz")[1][2:] == [20, 25, 9]
    offset = table(out, 1, "stco")[1][1]
    assert out[offset: offset + 54] == b"\x01" * 20 + b"\x02" * 25 + b"\x03" * 9


def test_a_frame_before_a_damaged_syncword_is_kept():
    from builders import adts_frame
    broken = bytearray(adts_frame(b"\x07" * 30))
    broken[0] = 0x00  # the next frame's syncword is hit
    frames = adts_frame(b"\x01" * 20) + bytes(broken) + adts_frame(b"\x02" * 25)
    out = convert(gop(3), [(frames, 0)])
    assert table(out, 1, "stsz")[1][2:] == [20, 25]



def test_mpeg2_video_is_refused_by_name():
    from builders import packetize, pat, pes, pmt
    from builders import AUDIO_PID, VIDEO_PID
    stream = b"".join([pat(), pmt([(0x02, VIDEO_PID), (0x0F, AUDIO_PID)])]
                      + packetize(VIDEO_PID, pes(b"\x00\x00\x01\xb3" + b"\x10" * 100, pts=0)))
    with pytest.raises(ValueError, match=r"^Unsupported video stream: MPEG-2 video \(stream_type 0x02\); only H.264 and HEVC video are converted$"):
        _plexo.convert_ts_to_mp4(stream)


# The stream's last picture spans two packets; a cut-off packet after it costs that picture
# only when it is a video packet that would have carried more of it.
LONG_LAST = gop(3) + [(AUD + nal(non_idr() + b"\x11" * 300), 9000, None)]


@pytest.mark.parametrize("tail, pictures", [
    (lambda ts: ts, 4),
    (lambda ts: ts[:-88], 3),                                    # its own last packet cut
    (lambda ts: ts + ts_packet(0x1FFF, b"\xff" * 184)[:100], 4),  # a cut null packet
    (lambda ts: ts + ts[:100], 4),                               # a cut PAT
    (lambda ts: ts + packetize(VIDEO_PID, pes(AUD + nal(non_idr()), pts=12000), 2)[0][:30], 4),
], ids=["whole", "video-packet-cut", "null-packet-cut", "pat-cut", "next-video-pes-cut"])
def test_only_a_cut_packet_carrying_the_last_picture_drops_it(tail, pictures):
    out = _plexo.convert_ts_to_mp4(tail(transport_stream(LONG_LAST)))
    assert table(out, 0, "stsz")[1][1] == pictures
