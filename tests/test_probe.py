"""plexo.probe: what a file holds, read from its movie box and fragments (a transport stream
through its conversion), agreeing with ffprobe on real files."""
from __future__ import annotations

import pytest

import media_tools
import plexo
from builders import (FTYP, PPS, SPS, Run, Sample, Traf, aac_frames, box, eac3_frame, fragment, full_box, idr,
                      moov, mpeg_audio_frame, nal, non_idr, trak, transport_stream, trex, u16, u32)

CODECS = {"h264": "avc1", "hevc": "hvc1", "aac": "mp4a"}


@pytest.mark.parametrize("name", [
    "prog_faststart.mp4", "prog_moov_last.mp4",      # progressive
    "frag_gstreamer.mp4", "frag_default_base_moof.mp4", "frag_audio_late.mp4",  # fragmented
    "ts_bframes.ts", "ts_192.m2ts",                  # transport streams
    "prog_hevc.mp4", "frag_hevc_hev1.mp4", "ts_hevc_main10.ts",  # HEVC
])
def test_agrees_with_ffprobe(fixture_bytes, name):
    data = fixture_bytes(name)
    suffix = "." + name.rsplit(".", 1)[1]
    info = plexo.probe(data)
    assert info["format"] == ("mp4" if suffix == ".mp4" else "ts")
    streams = media_tools.streams(data, suffix)
    assert len(info["tracks"]) == len(streams)
    for track, stream in zip(info["tracks"], streams):
        assert track["kind"] == stream["codec_type"]
        assert track["codec"] == (stream["codec_tag_string"] if suffix == ".mp4" else CODECS[stream["codec_name"]])
        packets = media_tools.packets(data, f"{stream['codec_type'][0]}:0", suffix)
        assert track["samples"] == len(packets)
        assert track["key_frames"] == sum("K" in p["flags"] for p in packets)
        durations = [float(p.get("duration_time", 0)) for p in packets]
        span = float(packets[-1]["dts_time"]) + durations[-1] - float(packets[0]["dts_time"])
        assert track["duration"] == pytest.approx(span, abs=max(durations))
        if track["kind"] == "video":
            assert (track["width"], track["height"]) == (stream["width"], stream["height"])
            assert track["profile"] == stream["profile"]
        else:
            assert track["sample_rate"] == int(stream["sample_rate"])
            assert track["channels"] == stream["channels"]
    assert info["duration"] == max(track["duration"] for track in info["tracks"])


def test_command_line_json_of_a_transport_stream(fixture_bytes, tmp_path, capsys):
    from plexo._cli import main
    path = tmp_path / "in.ts"
    path.write_bytes(fixture_bytes("ts_bframes.ts"))
    assert main(["probe", "--json", str(path)]) == 0
    import json
    assert json.loads(capsys.readouterr().out) == [{"file": str(path),
                                                    **plexo.probe(path.read_bytes())}]


# A stream of several megabytes of tiny pictures (a key frame every 30th, a PTS per PES of 30)
# and tiny audio frames, the first audio PES without a PTS: what is probed piece by piece
# must be what the whole file holds.
def long_stream(audio: bytes, audio_type: int) -> bytes:
    pictures = [nal(SPS) + nal(PPS) + nal(idr()) + nal(non_idr()) * 29] + [nal(idr()) + nal(non_idr()) * 29] * 5000
    video = [(payload, 3000 * 30 * i, None) for i, payload in enumerate(pictures)]
    step = 60000
    pes = [(audio[at:at + step], None if at == 0 else 9000 + at) for at in range(0, len(audio), step)]
    return transport_stream(video, pes, audio_type=(audio_type,))


@pytest.mark.parametrize("audio, audio_type", [
    (aac_frames(100_000, size=1), 0x0F),
    ((eac3_frame(size=8) + eac3_frame(size=8, strmtyp=1)) * 100_000, 0x87),   # dependent substreams join
    (mpeg_audio_frame(version=0, rate_index=1, bitrate_index=1) * 30_000, 0x03),
], ids=["adts", "eac3", "mp3"])
@pytest.mark.parametrize("cut", [0, 100], ids=["whole", "cut-in-last-packet"])
def test_long_transport_stream_is_probed_as_its_conversion(audio, audio_type, cut):
    data = long_stream(audio, audio_type)
    data = data[:len(data) - cut]
    assert len(data) > 2 << 20
    probed, converted = plexo.probe(data), plexo.probe(plexo.convert_ts_to_mp4(data))
    assert probed == {**converted, "format": "ts"}
    assert probed["tracks"][0]["samples"] > 150_000


# ---- byte-level rules --------------------------------------------------------------------

def stts(*runs: tuple[int, int]) -> bytes:
    return full_box("stts", 0, 0, u32(len(runs)), *[u32(n) + u32(d) for n, d in runs])


def progressive(stss: list[int] | None, *, count: int = 4) -> bytes:
    tables = stts((count, 500)) + full_box("stsz", 0, 0, u32(10), u32(count))
    if stss is not None:
        tables += full_box("stss", 0, 0, u32(len(stss)), *[u32(n) for n in stss])
    return FTYP + moov(trak(1, 1000, tables=tables))


@pytest.mark.parametrize("stss, key_frames", [(None, 4), ([1], 1), ([1, 3], 2), ([], 0)])
def test_key_frames_are_the_sync_samples_and_all_without_a_table(stss, key_frames):
    [track] = plexo.probe(progressive(stss))["tracks"]
    assert (track["samples"], track["key_frames"], track["duration"]) == (4, key_frames, 2.0)


AUDIO_ENTRY = u32(0) + u32(1) + box("mp4a", b"\0" * 6 + u16(1) + b"\0" * 8 + u16(6) + u16(16)
                                    + u32(0) + u32(44100 << 16))


def test_sample_entry_gives_picture_size_and_audio_format():
    video, audio = plexo.probe(FTYP + moov(trak(1, 1000), trak(2, 44100, stsd=AUDIO_ENTRY,
                                                                   handler="soun")))["tracks"]
    assert (video["kind"], video["codec"], video["width"], video["height"]) == ("video", "avc1", 320, 240)
    assert (audio["kind"], audio["codec"], audio["sample_rate"], audio["channels"]) == \
        ("audio", "mp4a", 44100, 6)
    assert "width" not in audio and "sample_rate" not in video


SYNC, NON_SYNC, DEPENDS = 0x02000000, 0x01010000, 0x01000000


@pytest.mark.parametrize("flags, key_frames", [
    ([SYNC, NON_SYNC, SYNC], 2),
    ([SYNC, DEPENDS, DEPENDS], 1),   # depends on others: not a key frame even without non-sync
    ([SYNC, SYNC, SYNC], 3),
])
def test_fragment_key_frames_follow_the_sample_flags(flags, key_frames):
    run = Run([Sample(b"abcd", 250, f) for f in flags], data_offset=0)
    data = (FTYP + moov(trak(1, 1000), trexes=(trex(1),))
            + fragment(Traf(1, [run], decode_time=0)) + fragment(Traf(1, [Run(
                [Sample(b"ef", 250, SYNC)], data_offset=0)], decode_time=750), sequence=2))
    [track] = plexo.probe(data)["tracks"]
    assert (track["samples"], track["key_frames"], track["duration"]) == (4, key_frames + 1, 1.0)


@pytest.mark.parametrize("data, message", [
    (b"", "Not an MP4 or a transport stream"),
    (b"hello, world", "Not an MP4 or a transport stream"),
    (FTYP + box("free", b"x"), "moov box not found"),
    (FTYP + moov(trak(1, 1000, tables=full_box("stts", 0, 0, u32(0x7FFFFFFF)))), "Invalid sample table"),
    (FTYP + moov(trak(1, 1000, tables=full_box("stss", 0, 0, u32(0xFFFFFFFF), u32(1)))),
     "Invalid sample table"),
])
def test_unusable_input_is_a_value_error(data, message):
    with pytest.raises(ValueError, match=message):
        plexo.probe(data)


@pytest.mark.parametrize("name", ["prog_faststart.mp4", "frag_gstreamer.mp4"])
def test_truncated_file_is_a_value_error(fixture_bytes, name):
    data = fixture_bytes(name)
    for cut in (len(data) - 1, len(data) // 2, 100):
        with pytest.raises(ValueError, match="exceeds available data"):
            plexo.probe(data[:cut])
