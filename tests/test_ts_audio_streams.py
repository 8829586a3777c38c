"""A programme's audio streams: each one's language from its PMT entry, AAC carried as private
data, every audio stream as its own track in the package (alternatives of one another), the
first only in _plexo and with audio="first", and every stream left out named."""
from __future__ import annotations

import io
import logging
import struct

import pytest

import _plexo
import media_tools as mt
import plexo
from builders import (AUDIO_PID, ac3_frame, adts_frame, audio_programme, descriptor, trak_box, traks)
from plexo._cli import main

AAC = adts_frame(b"\x11" * 30)
AC3 = ac3_frame(7)
LANGUAGE_SPA = descriptor(0x0A, b"spa\0")


def language(mp4: bytes, track: int) -> str:
    """The mdhd language of track `track` (0-based), unpacked."""
    packed = struct.unpack(">H", trak_box(mp4, track, "mdia/mdhd")[20:22])[0]
    return "".join(chr(((packed >> shift) & 0x1F) + 0x60) for shift in (10, 5, 0))


def header(mp4: bytes, track: int) -> tuple[int, int]:
    """(tkhd flags, alternate_group) of track `track`."""
    tkhd = trak_box(mp4, track, "tkhd")
    return int.from_bytes(tkhd[1:4], "big"), struct.unpack(">H", tkhd[34:36])[0]


def handlers(mp4: bytes) -> list[bytes]:
    return [trak_box(mp4, i, "mdia/hdlr")[8:12] for i in range(len(traks(mp4)))]


def entry_type(mp4: bytes, track: int) -> bytes:
    return trak_box(mp4, track, "mdia/minf/stbl/stsd")[12:16]


def lines_of(call, *args, **kwargs) -> tuple[bytes, list[str]]:
    sink = io.StringIO()
    out = call(*args, diagnostics=sink, **kwargs)
    return out, sink.getvalue().splitlines()


TWO = audio_programme([((0x0F, descriptor(0x0A, b"eng\0")), [(AAC * 4, 0)]),
                       ((0x81, LANGUAGE_SPA), [(AC3 * 3, 0)])])


# ---- the language descriptor -------------------------------------------------------------

@pytest.mark.parametrize("info, expected", [
    (descriptor(0x0A, b"eng\0"), "eng"),
    (descriptor(0x0A, b"SPA\x01"), "spa"),                      # upper case taken as lower
    (descriptor(0x0A, b"deu\0fra\0"), "deu"),                   # the first of several codes
    (descriptor(0x52, b"\x01") + descriptor(0x0A, b"fin\0"), "fin"),  # after another descriptor
    (descriptor(0x0A, b"e1g\0"), "und"),                        # not three letters
    (descriptor(0x0A, b"fr"), "und"),                           # too short for a code
    (descriptor(0x0A), "und"),
    (bytes([0x0A, 0x08]) + b"eng", "und"),                      # cut short by ES_info_length
    (b"", "und"),
])
def test_the_language_descriptor_names_the_track_language(info, expected):
    out = _plexo.convert_ts_to_mp4(audio_programme([((0x0F, info), [(AAC * 4, 0)])]))
    assert handlers(out) == [b"vide", b"soun"]
    assert language(out, 1) == expected and language(out, 0) == "und"


def test_a_descriptor_running_past_the_packet_keeps_und():
    # ES_info_length and the descriptor's own length both reach past the PMT's packet
    stream = bytearray(audio_programme([((0x0F, descriptor(0x0A, b"eng\0")), [(AAC * 4, 0)])]))
    entry = stream.index(bytes([0x0F, 0xE1, 0x01]), 188)
    stream[entry + 3:entry + 5] = bytes([0xF0, 250])
    stream[entry + 6] = 200
    out = _plexo.convert_ts_to_mp4(bytes(stream))
    assert language(out, 1) == "und" and len(traks(out)) == 2


# ---- AAC as private data -----------------------------------------------------------------

@pytest.mark.parametrize("info", [descriptor(0x7C, b"\x58"), descriptor(0x0A, b"ita\0"), b""])
def test_aac_as_private_data_is_converted(info):
    # named by the DVB AAC descriptor, or found by the ADTS header its data opens with
    out = _plexo.convert_ts_to_mp4(audio_programme([((0x06, info), [(AAC * 5, 0)])]))
    assert handlers(out) == [b"vide", b"soun"] and entry_type(out, 1) == b"mp4a"
    assert trak_box(out, 1, "mdia/minf/stbl/stsz")[8:12] == (5).to_bytes(4, "big")


def test_private_data_without_adts_is_left_out_by_name():
    lines: list[str] = []
    data = audio_programme([((0x06,), [(b"\x20\x00" + b"\x0f" * 40, 0)])])
    out = _plexo._convert_ts_to_mp4(data, False, lines)
    assert handlers(out) == [b"vide"]
    assert ("Left out stream - PID: 257 (private data, stream_type 0x06): its data does not open with ADTS\n"
            in lines)


def test_ac3_as_private_data_by_its_descriptor_still_converts():
    out = _plexo.convert_ts_to_mp4(audio_programme([((0x06, descriptor(0x6A, b"\0")), [(AC3 * 3, 0)])]))
    assert entry_type(out, 1) == b"ac-3"


# ---- every audio stream a track ----------------------------------------------------------

def test_every_audio_stream_is_a_track_in_pmt_order_alternatives_of_the_first():
    out, lines = lines_of(plexo.convert_ts_to_mp4, TWO)
    assert handlers(out) == [b"vide", b"soun", b"soun"]
    assert [entry_type(out, 1), entry_type(out, 2)] == [b"mp4a", b"ac-3"]
    assert [language(out, 1), language(out, 2)] == ["eng", "spa"]
    assert [header(out, i) for i in range(3)] == [(7, 0), (7, 1), (6, 1)]  # second audio disabled
    assert [struct.unpack(">I", trak_box(out, i, "tkhd")[12:16])[0] for i in range(3)] == [1, 2, 3]
    assert "More audio - PID: 258 (AC-3 audio, stream_type 0x81, language spa)" in lines


def test_pmt_order_decides_which_audio_track_is_enabled():
    data = audio_programme([((0x81, LANGUAGE_SPA), [(AC3 * 3, 0)]), ((0x0F,), [(AAC * 4, 0)])])
    out = plexo.convert_ts_to_mp4(data)
    assert [entry_type(out, 1), entry_type(out, 2)] == [b"ac-3", b"mp4a"]
    assert [header(out, 1), header(out, 2)] == [(7, 1), (6, 1)]


def test_an_audio_stream_without_frames_gives_no_track_and_is_named():
    data = audio_programme([((0x0F,), [(b"\x00" * 30, 0)]), ((0x81, LANGUAGE_SPA), [(AC3 * 3, 0)])])
    out, lines = lines_of(plexo.convert_ts_to_mp4, data)
    assert handlers(out) == [b"vide", b"soun"] and entry_type(out, 1) == b"ac-3"
    assert header(out, 1) == (7, 0) and language(out, 1) == "spa"
    assert "Left out audio - PID: 257 (AAC audio, stream_type 0x0F): no audio frames found" in lines


@pytest.mark.parametrize("convert", [
    lambda data, **kw: plexo.convert_ts_to_mp4(data, **kw),
    lambda data, **kw: plexo.convert_ts_to_fmp4(data, **kw),
])
def test_audio_first_gives_one_track_and_names_the_rest(convert):
    sink = io.StringIO()
    out = convert(TWO, audio="first", diagnostics=sink)
    assert handlers(out) == [b"vide", b"soun"] and language(out, 1) == "eng" and header(out, 1) == (7, 0)
    assert ("Left out audio - PID: 258 (AC-3 audio, stream_type 0x81): only the first audio stream is converted"
            in sink.getvalue().splitlines())


def test_the_extension_keeps_one_audio_track_with_its_language():
    assert _plexo.convert_ts_to_mp4(TWO) == plexo.convert_ts_to_mp4(TWO, audio="first", diagnostics=False)
    out = _plexo.convert_ts_to_mp4(TWO)
    assert handlers(out) == [b"vide", b"soun"] and language(out, 1) == "eng"


def test_fragmented_output_has_every_audio_track():
    out = plexo.convert_ts_to_fmp4(TWO, diagnostics=False)
    assert handlers(out) == [b"vide", b"soun", b"soun"] and language(out, 2) == "spa"
    assert out.count(b"traf") >= 3 and out.count(b"trex") == 3


def test_an_audio_choice_other_than_all_or_first_is_refused():
    with pytest.raises(ValueError, match="audio must be 'all' or 'first'"):
        plexo.convert_ts_to_mp4(TWO, audio="second")  # type: ignore[arg-type]


def test_probe_lists_every_audio_track_with_its_language():
    assert [(t["kind"], t.get("codec"), t.get("language")) for t in plexo.probe(TWO)["tracks"]] == [
        ("video", "avc1", "und"), ("audio", "mp4a", "eng"), ("audio", "ac-3", "spa")]


def test_the_file_function_writes_what_the_bytes_function_does(tmp_path):
    src, dst, first = tmp_path / "in.ts", tmp_path / "out.mp4", tmp_path / "first.mp4"
    src.write_bytes(TWO)
    plexo.convert_file(src, dst, diagnostics=False)
    plexo.convert_file(src, first, diagnostics=False, audio="first")
    assert dst.read_bytes() == plexo.convert_ts_to_mp4(TWO, diagnostics=False)
    assert first.read_bytes() == _plexo.convert_ts_to_mp4(TWO)


def test_the_segmenter_keeps_the_first_audio_and_warns_once_about_the_rest(caplog):
    segmenter = plexo.TsSegmenter()
    with caplog.at_level(logging.WARNING, logger="plexo"):
        fragments = segmenter.push(TWO[:1000]) + segmenter.push(TWO[1000:]) + segmenter.flush()
    assert fragments and handlers(segmenter.init) == [b"vide", b"soun"]
    assert [r.getMessage() for r in caplog.records] == [
        "Left out audio - PID: 258 (AC-3 audio, stream_type 0x81): only the first audio stream is converted"]


# ---- the command line --------------------------------------------------------------------

@pytest.mark.parametrize("on_disk", [True, False])
def test_the_cli_warns_in_one_line_about_audio_left_out(tmp_path, capfd, on_disk):
    src = tmp_path / "in.ts"
    src.write_bytes(TWO)
    target = str(tmp_path / "out.mp4") if on_disk else "-"
    assert main(["convert", "--audio", "first", str(src), target]) == 0
    out, err = capfd.readouterr()
    assert err.splitlines() == [
        "plexo: warning: left out audio: PID: 258 (AC-3 audio, stream_type 0x81): only the first audio "
        "stream is converted (-v shows every line)"]
    assert main(["convert", "-y", str(src), str(tmp_path / "all.mp4")]) == 0
    assert capfd.readouterr().err == ""
    assert handlers((tmp_path / "all.mp4").read_bytes()) == [b"vide", b"soun", b"soun"]


# ---- real files --------------------------------------------------------------------------

def test_two_languages_made_by_ffmpeg_keep_both_tracks(fixture_bytes, ffprobe, ffmpeg):
    source = fixture_bytes("ts_two_languages.ts")
    out = plexo.convert_ts_to_mp4(source, diagnostics=False)
    assert mt.differences(source, ".ts", out) == []
    got = mt.streams(out)
    assert [(s["codec_name"], s.get("tags", {}).get("language"), s["disposition"]["default"])
            for s in got if s["codec_type"] == "audio"] == [("aac", "eng", 1), ("ac3", "spa", 0)]
    # the second audio stream: the source's packets, and the source's offset to the video
    hashes = [p["data_hash"] for p in mt.packets(out, "a:1")]
    assert hashes == [p["data_hash"] for p in mt.packets(source, "a:1", ".ts")]
    src_start = {s["index"]: float(s["start_time"]) for s in mt.streams(source, ".ts")}
    out_start = {s["index"]: float(s["start_time"]) for s in got}
    assert out_start[2] - out_start[0] == pytest.approx(src_start[2] - src_start[0], abs=0.001)
    assert mt.decode_errors(out) == ""


def test_two_languages_as_fragments_keep_the_second_tracks_offset(fixture_bytes, ffprobe, ffmpeg):
    source = fixture_bytes("ts_two_languages.ts")
    out = plexo.convert_ts_to_fmp4(source, fragment_duration=0.5, diagnostics=False)
    assert mt.decode_errors(out) == ""

    def offset(data: bytes, suffix: str) -> float:
        return (mt.frame_times(mt.frames(data, "a:1", suffix))[0]
                - mt.frame_times(mt.frames(data, "v:0", suffix))[0])
    assert offset(out, ".mp4") == pytest.approx(offset(source, ".ts"), abs=0.001)
    assert ([p["data_hash"] for p in mt.packets(out, "a:1")]
            == [p["data_hash"] for p in mt.packets(source, "a:1", ".ts")])


def test_ffmpegs_m2ts_with_aac_as_private_data_keeps_its_audio(fixture_bytes, ffprobe, ffmpeg):
    source = fixture_bytes("m2ts_aac_private.m2ts")
    out = _plexo.convert_ts_to_mp4(source)
    assert mt.differences(source, ".m2ts", out) == []
    assert [(s["codec_name"], s.get("tags", {}).get("language")) for s in mt.streams(out)] == [
        ("h264", "und"), ("aac", "fra")]
    assert len(mt.packets(out, "a:0")) == len(mt.packets(source, "a:0", ".m2ts"))
