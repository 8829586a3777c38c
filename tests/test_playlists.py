"""Local HLS playlists wherever a file goes: an ffmpeg ladder (video, audio at 48 kHz, 44.1 kHz
and starting 0.5 s late, every track ID 1) read as files, joined by `plexo mux` exactly as the
Python join does, judged by ffprobe and ffmpeg; byte ranges, transport-stream playlists, master
playlists, and playlists that lie (one line naming the file, nothing written)."""
from __future__ import annotations

import shutil

import pytest

import _plexo
import media_tools
import plexo
from plexo._cli import main
from conftest import FIXTURES

LADDER = FIXTURES / "ladder"
AUDIO = ["audio_48k", "audio_44k", "audio_late"]


def playlist(name: str) -> str:
    return str(LADDER / name / "index.m3u8")


def files_in_order(name: str) -> bytes:
    text = (LADDER / name / "index.m3u8").read_text().splitlines()
    init = next(line.split('"')[1] for line in text if line.startswith("#EXT-X-MAP"))
    segments = [line for line in text if line and not line.startswith("#")]
    return b"".join((LADDER / name / part).read_bytes() for part in [init, *segments])


def start(data: bytes, kind: str) -> float:
    return float(next(s for s in media_tools.streams(data) if s["codec_type"] == kind)["start_time"])


class TestReading:
    @pytest.mark.parametrize("name", ["video", *AUDIO])
    def test_init_then_segments_in_order(self, name):
        assert plexo.read_playlist(playlist(name)) == files_in_order(name)

    def test_byte_ranges_of_one_file(self):
        assert plexo.read_playlist(LADDER / "single" / "index.m3u8") == \
            (LADDER / "single" / "video.mp4").read_bytes()

    def test_a_transport_stream_playlist_concatenates_its_segments(self, tmp_path):
        ts = (FIXTURES / "ts_bframes.ts").read_bytes()
        cut = [0, 188 * 100, 188 * 250, len(ts)]
        lines = ["#EXTM3U", "#EXT-X-TARGETDURATION:2"]
        for i in range(3):
            (tmp_path / f"s{i}.ts").write_bytes(ts[cut[i]:cut[i + 1]])
            lines += ["#EXTINF:0.7,", f"s{i}.ts"]
        (tmp_path / "p.m3u8").write_text("\n".join(lines + ["#EXT-X-ENDLIST"]))
        assert plexo.read_playlist(tmp_path / "p.m3u8") == ts
        assert main(["convert", str(tmp_path / "p.m3u8"), str(tmp_path / "out.mp4")]) == 0
        assert (tmp_path / "out.mp4").read_bytes() == _plexo._convert_ts_to_mp4(ts, False, False)

    @pytest.mark.parametrize("command", ["probe", "defragment", "reset", "thumbnail"])
    def test_every_command_takes_a_playlist(self, tmp_path, command, capsys):
        args = [playlist("video")] if command == "probe" else [playlist("video"), str(tmp_path / "o")]
        assert main([command, *args]) == 0


@pytest.fixture(scope="module")
def joined(tmp_path_factory):
    cache = {}

    def get(audio: str):
        if audio not in cache:
            out = tmp_path_factory.mktemp("join") / "joined.mp4"
            assert main(["mux", playlist("video"), playlist(audio), str(out)]) == 0
            video_data, audio_data = plexo.read_playlist(playlist("video")), plexo.read_playlist(playlist(audio))
            cache[audio] = (video_data, audio_data, out.read_bytes())
        return cache[audio]
    return get


@pytest.mark.parametrize("audio", AUDIO)
class TestJoinedLadder:
    def test_the_cli_gives_the_python_join(self, joined, audio):
        video_data, audio_data, out = joined(audio)
        assert out == plexo.mux_fmp4_tracks(video_data, audio_data)

    def test_clean_with_every_packet_and_the_offset_kept(self, joined, audio, ffprobe, ffmpeg):
        video_data, audio_data, out = joined(audio)
        assert media_tools.probe_errors(out) == "" and media_tools.decode_errors(out) == ""
        for select, source in (("v:0", video_data), ("a:0", audio_data)):
            assert [(p["size"], p["data_hash"], p["flags"][0]) for p in media_tools.packets(out, select)] == \
                   [(p["size"], p["data_hash"], p["flags"][0]) for p in media_tools.packets(source, "0")]
        rate = int(next(s for s in media_tools.streams(out) if s["codec_type"] == "audio")["sample_rate"])
        before = start(audio_data, "audio") - start(video_data, "video")
        after = start(out, "audio") - start(out, "video")
        assert abs(after - before) <= 1024 / rate


# ---- refusals: one line naming the playlist and the file; nothing written -------------------

def copy_ladder(tmp_path):
    shutil.copytree(LADDER, tmp_path / "ladder")
    return tmp_path / "ladder"


def edit(path, old: str, new: str) -> None:
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


LIES = {
    "missing-segment": (lambda d: (d / "video" / "seg1.m4s").unlink(), "seg1.m4s not found"),
    "segment-of-another-rendition": (
        lambda d: shutil.copy(d / "audio_48k" / "seg1.m4s", d / "video" / "seg1.m4s"),
        "segment seg1.m4s lasts"),
    "byte-range-past-the-file": (
        lambda d: edit(d / "single" / "index.m3u8", "9110@10649", "9110@10650"),
        "byte range 9110@10650 runs past the end"),
    "not-media": (lambda d: (d / "video" / "seg0.m4s").write_text("hello"),
                  "segment seg0.m4s is not media of this playlist"),
    "remote": (lambda d: edit(d / "video" / "index.m3u8", "seg0.m4s", "https://cdn.example/seg0.m4s"),
               "https://cdn.example/seg0.m4s is a remote URL"),
    "encrypted": (lambda d: edit(d / "video" / "index.m3u8", "#EXTINF",
                                 '#EXT-X-KEY:METHOD=AES-128,URI="k.key"\n#EXTINF'),
                  "encrypted segments (METHOD=AES-128)"),
}


@pytest.mark.parametrize("lie", LIES)
def test_a_playlist_that_lies_is_one_line_and_writes_nothing(tmp_path, capfd, lie):
    ladder = copy_ladder(tmp_path)
    spoil, says = LIES[lie]
    spoil(ladder)
    video = ladder / ("single" if "byte-range" in lie else "video") / "index.m3u8"
    out = tmp_path / "out.mp4"
    assert main(["mux", str(video), str(ladder / "audio_48k" / "index.m3u8"), str(out)]) == 1
    err = capfd.readouterr().err
    assert err.startswith(f"plexo: {video}, line ") and says in err and err.count("\n") == 1
    assert not out.exists() and sorted(p.name for p in tmp_path.iterdir()) == ["ladder"]


def test_a_master_playlist_lists_its_renditions_and_asks_for_one(tmp_path, capfd):
    assert main(["mux", str(LADDER / "master.m3u8"), playlist("audio_48k"), str(tmp_path / "o.mp4")]) == 1
    err = capfd.readouterr().err
    assert err.startswith(f"plexo: {LADDER / 'master.m3u8'}: a master playlist; give one of its renditions: ")
    assert err.count("\n") == 1 and err.count("index.m3u8") == 4
    for name in ["video", *AUDIO]:
        assert playlist(name) in err
