"""convert_ts_to_mp4 on MPEG audio, AC-3 and E-AC-3 streams built frame by frame: how each
codec's frames become samples, the track that describes them, and damaged frames."""
from __future__ import annotations

import struct

import pytest

import _plexo
from builders import (AUD, PPS, SPS, ac3_frame, eac3_frame, idr, mpeg_audio_frame, nal,
                      sample_bytes, table, trak_box, transport_stream)

MP3 = (0x03,)
AC3 = (0x81,)
EAC3 = (0x87,)
VIDEO = [(AUD + nal(SPS) + nal(PPS) + nal(idr()), 0, None)]


def convert(audio: list[tuple[bytes, int | None]], kind: tuple, video=VIDEO) -> bytes:
    return _plexo.convert_ts_to_mp4(transport_stream(video, audio, audio_type=kind, video_stream=bool(video)))


def audio_track(out: bytes) -> int:
    return 1 if table(out, 0, "stsz") and trak_box(out, 0, "mdia/hdlr")[8:12] == b"vide" else 0


def entry(out: bytes) -> bytes:
    """The audio track's sample entry box."""
    return trak_box(out, audio_track(out), "mdia/minf/stbl/stsd")[8:]


def sizes(out: bytes) -> list[int]:
    return table(out, audio_track(out), "stsz")[1][2:]


def timing(out: bytes) -> tuple[int, list[int]]:
    """(media timescale, stts words) of the audio track."""
    track = audio_track(out)
    return struct.unpack(">I", trak_box(out, track, "mdia/mdhd")[12:16])[0], table(out, track, "stts")[1]


# ---- samples and their description -------------------------------------------------------

@pytest.mark.parametrize("frame, rate, delta, object_type", [
    (mpeg_audio_frame(), 44100, 1152, 0x6B),                                   # MP3, 128 kbit/s
    (mpeg_audio_frame(layer=2, rate_index=1, padding=1), 48000, 1152, 0x6B),  # MP2
    (mpeg_audio_frame(layer=1, rate_index=2), 32000, 384, 0x6B),              # layer I
    (mpeg_audio_frame(version=2, rate_index=1, bitrate_index=8), 24000, 576, 0x69),   # MPEG-2
    (mpeg_audio_frame(version=0, rate_index=2, bitrate_index=4, mono=True), 8000, 576, 0x69),  # 2.5
])
def test_mpeg_audio_frames_are_samples_of_an_mp4a_track(frame, rate, delta, object_type):
    out = convert([(frame * 5, 0)], MP3)
    assert sizes(out) == [len(frame)] * 5
    assert sample_bytes(out, 1) == [frame] * 5  # headers kept
    assert timing(out) == (rate, [1, 5, delta])
    mp4a = entry(out)
    assert mp4a[4:8] == b"mp4a" and struct.unpack(">HHxxxxI", mp4a[24:36]) == (
        1 if b"\xc0" == frame[3:4] else 2, 16, rate << 16)
    esds = mp4a[36:]
    assert esds[4:8] == b"esds" and esds[12:14] == b"\x03\x15" and esds[19:21] == bytes([object_type, 0x15])
    assert b"\x05" not in esds[17:19] and esds[-3:] == b"\x06\x01\x02"  # no DecoderSpecificInfo


@pytest.mark.parametrize("kind", [AC3, (0x06, b"\x6a\x01\x00"), (0x06, b"\x05\x04AC-3")])
def test_ac3_syncframes_are_samples_of_an_ac3_track(kind):
    frame = ac3_frame(frmsizecod=20, bsmod=1, acmod=2)
    out = convert([(frame * 4, 0)], kind)
    assert sample_bytes(out, 1) == [frame] * 4
    assert timing(out) == (48000, [1, 4, 1536])
    ac3 = entry(out)
    assert ac3[4:8] == b"ac-3" and struct.unpack(">H", ac3[24:26])[0] == 2
    # dac3: fscod 0, bsid 8, bsmod 1, acmod 2, lfeon 0, bit_rate_code 10 (192 kbit/s)
    assert ac3[36:] == b"\x00\x00\x00\x0bdac3" + bytes([0b00010000, 0b01010001, 0b01000000])


def test_an_eac3_sample_holds_its_dependent_substream():
    # 5.1 in the independent substream, two more channels (Lrs/Rrs) in a dependent one
    main, extra = eac3_frame(1, acmod=7, lfeon=1, bsmod=2), eac3_frame(2, strmtyp=1, size=128, chanmap=0x0200)
    out = convert([((main + extra) * 3, 0)], EAC3)
    assert sample_bytes(out, 1) == [main + extra] * 3
    assert timing(out) == (48000, [1, 3, 1536])
    ec3 = entry(out)
    assert ec3[4:8] == b"ec-3" and struct.unpack(">H", ec3[24:26])[0] == 8
    # dec3: data_rate (384 + 128 bytes per 1536 samples at 48 kHz = 128 kbit/s), one
    # independent substream: fscod 0, bsid 16, bsmod 2, acmod 7, lfeon 1, one dependent
    # substream at chan_loc Lrs/Rrs
    assert ec3[36:44] == b"\x00\x00\x00\x0edec3"
    bits = "".join(f"{b:08b}" for b in ec3[44:])
    assert [int(bits[a:b], 2) for a, b in [(0, 13), (13, 16), (16, 18), (18, 23), (25, 28), (28, 31),
                                           (31, 32), (35, 39), (39, 48)]] == [128, 0, 0, 16, 2, 7, 1, 1, 0b10]


def test_short_eac3_syncframes_join_until_six_blocks():
    frame = eac3_frame(numblkscod=1, size=128)  # two blocks
    out = convert([(frame * 6, 0)], EAC3)
    assert sizes(out) == [3 * 128] * 2 and timing(out)[1] == [1, 2, 1536]


def test_an_audio_only_programme_of_ac3_starts_at_its_first_frame():
    out = convert([(ac3_frame() * 3, 900000)], AC3, video=[])
    assert sizes(out) == [len(ac3_frame())] * 3 and trak_box(out, 0, "edts") is None


@pytest.mark.parametrize("kind, frame", [(AC3, ac3_frame()), (MP3, mpeg_audio_frame())])
def test_late_audio_waits_behind_an_empty_edit_of_its_delay(kind, frame):
    out = convert([(frame * 4, 9000)], kind)
    elst = trak_box(out, 1, "edts/elst")
    assert struct.unpack(">IIIiI", elst[:20])[2:4] == (9000, -1)  # 0.1 s in the movie's 90 kHz


# ---- damaged streams --------------------------------------------------------------------

@pytest.mark.parametrize("kind, good, bad", [
    # a false sync word in the payload, with what could be a header after it
    (AC3, ac3_frame(), b"\x0b\x77\x00\x00\x14\x40\x40" + b"\x0b" * 50),
    (MP3, mpeg_audio_frame(), b"\xff\xfb\x90\x00" + b"\xff" * 50),
    # reserved sample rate codes
    (AC3, ac3_frame(), ac3_frame(fscod=3)),
    (MP3, mpeg_audio_frame(), mpeg_audio_frame(rate_index=3)),
    # an unknown bsid, a free-format bitrate
    (AC3, ac3_frame(), ac3_frame(bsid=20)),
    (MP3, mpeg_audio_frame(), mpeg_audio_frame(bitrate_index=0)),
    # a frame of another sample rate or version in the middle of the stream
    (AC3, ac3_frame(), ac3_frame(fscod=2, frmsizecod=8)),
    (MP3, mpeg_audio_frame(), mpeg_audio_frame(version=2)),
    # E-AC-3: a dependent substream whose independent one was lost, a reserved stream type
    (EAC3, eac3_frame(), b"\x00" * 40 + eac3_frame(strmtyp=1, size=128)),
    (EAC3, eac3_frame(), eac3_frame(strmtyp=3)),
])
def test_damage_between_good_frames_is_skipped(kind, good, bad):
    out = convert([(good * 2 + bad + good * 2, 0)], kind)
    assert sample_bytes(out, 1) == [good] * 4


@pytest.mark.parametrize("kind, frame", [(AC3, ac3_frame()), (MP3, mpeg_audio_frame()), (EAC3, eac3_frame())])
def test_a_frame_cut_short_by_the_end_of_the_stream_is_dropped(kind, frame):
    out = convert([(frame * 3 + frame[:100], 0)], kind)
    assert sizes(out) == [len(frame)] * 3


def test_a_stream_that_opens_with_a_dependent_substream_keeps_what_follows():
    dependent, main = eac3_frame(strmtyp=1, size=128), eac3_frame()
    out = convert([(dependent + main * 2, 0)], EAC3)
    assert sample_bytes(out, 1) == [main] * 2


def test_adts_frames_labelled_as_mpeg_audio_are_aac(capfd):
    from builders import adts_frame
    out = convert([(adts_frame(b"\x21" * 30) * 3, 0)], MP3)
    assert entry(out)[4:8] == b"mp4a" and sizes(out) == [30] * 3
