"""Local HLS playlists wherever a file goes: an ffmpeg ladder (video, audio at 48 kHz, 44.1 kHz
and starting 0.5 s late, every track ID 1) read as files, joined by `plexo mux` exactly as the
Python join does, judged by ffprobe and ffmpeg; byte ranges, transport-stream playlists, master
playlists, and playlists that lie (one line naming the file, nothing written)."""
from __future__ import annotations

import os
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


# ---- confinement: a playlist reads its own folder, regular files, in linear time -----------

SECRET = (FIXTURES / "ts_bframes.ts").read_bytes()


@pytest.fixture
def folders(tmp_path):
    """A playlist folder and, beside it, a recording that is not the playlist's."""
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "secret.ts").write_bytes(SECRET)
    (tmp_path / "pl").mkdir()
    return tmp_path / "pl", tmp_path / "other" / "secret.ts"


def ts_playlist(folder, *uris: str, extra: str = "") -> str:
    lines = ["#EXTM3U", "#EXT-X-TARGETDURATION:2", *extra.splitlines()]
    for uri in uris:
        lines += ["#EXTINF:1.0,", uri]
    (folder / "p.m3u8").write_text("\n".join(lines + ["#EXT-X-ENDLIST"]))
    return str(folder / "p.m3u8")


ESCAPES = {
    "parent": lambda secret: "../other/secret.ts",
    "absolute": lambda secret: str(secret),
    "file-url": lambda secret: "file://" + str(secret),
    "percent-encoded": lambda secret: "%2e%2e/other/secret.ts",
    "symbolic-link": lambda secret: "link.ts",
}


class TestConfinement:
    @pytest.mark.parametrize("escape", ESCAPES)
    def test_a_uri_that_leaves_the_folder_is_refused_unless_allowed(self, folders, capfd, escape):
        folder, secret = folders
        (folder / "link.ts").symlink_to(secret)
        uri = ESCAPES[escape](secret)
        path = ts_playlist(folder, uri)
        with pytest.raises(plexo.PlaylistError) as refused:
            plexo.read_playlist(path)
        assert str(refused.value) == (f"{path}, line 4: {uri} lies outside the playlist's folder; "
                                      "pass allow_outside=True (--allow-outside) to read it")
        assert plexo.read_playlist(path, allow_outside=True) == SECRET
        out = folder / "out.mp4"
        assert main(["convert", path, str(out)]) == 1 and not out.exists()
        assert capfd.readouterr().err.startswith(f"plexo: {path}, line 4: {uri} lies outside")
        assert main(["convert", "--allow-outside", path, str(out)]) == 0
        assert out.read_bytes() == _plexo._convert_ts_to_mp4(SECRET, False, False)

    def test_a_link_that_stays_in_the_folder_is_read(self, folders):
        folder, _ = folders
        (folder / "sub").mkdir()
        (folder / "sub" / "a.ts").write_bytes(SECRET)
        (folder / "b.ts").symlink_to(folder / "sub" / "a.ts")
        assert plexo.read_playlist(ts_playlist(folder, "sub/a.ts", "b.ts", "sub/%61.ts")) == SECRET * 3

    @pytest.mark.parametrize("what", ["device", "fifo"])
    def test_a_device_or_a_fifo_is_refused_without_reading_it(self, folders, what):
        folder, _ = folders
        if what == "fifo":
            os.mkfifo(folder / "feed.ts")  # nobody writes: an open for reading would wait
            uri, allowed = "feed.ts", False
        else:
            uri, allowed = "/dev/zero", True  # endless: reading it would exhaust memory
        path = ts_playlist(folder, uri)
        with pytest.raises(plexo.PlaylistError, match=f"^{path}, line 4: segment .* is not a regular file$"):
            plexo.read_playlist(path, allow_outside=allowed)

    def test_the_files_named_may_hold_at_most_the_documented_total(self, folders, monkeypatch):
        from plexo import _playlist
        folder, _ = folders
        (folder / "a.ts").write_bytes(SECRET)
        monkeypatch.setattr(_playlist, "MAX_TOTAL_BYTES", len(SECRET) * 2)
        assert plexo.read_playlist(ts_playlist(folder, "a.ts", "a.ts")) == SECRET * 2
        path = ts_playlist(folder, "a.ts", "a.ts", "a.ts")
        with pytest.raises(plexo.PlaylistError, match=f"^{path}, line 8: the files named so far hold more than"):
            plexo.read_playlist(path)

    @pytest.mark.parametrize("line, says", [
        ("#EXT-X-BYTERANGE:" + "9" * 100_000, "unreadable byte range '99999"),
        ('#EXT-X-MAP:URI="a.ts",BYTERANGE="1@' + "9" * 30 + '"', "unreadable byte range"),
        ("a\0.ts", "a URI holding a NUL character"),
    ])
    def test_hostile_lines_are_playlist_errors_naming_the_line(self, folders, line, says):
        folder, _ = folders
        (folder / "a.ts").write_bytes(SECRET)
        path = folder / "p.m3u8"
        path.write_text("\n".join(["#EXTM3U", "#EXTINF:1.0,", "a.ts", line, "#EXTINF:1.0,", "a.ts"]))
        with pytest.raises(plexo.PlaylistError) as refused:
            plexo.read_playlist(path)
        assert str(refused.value).startswith(f"{path}, line 4: {says}") and "\n" not in str(refused.value)

    def test_a_master_playlist_of_20000_variants_is_listed(self, tmp_path):
        """One pass over the lines (a variant's URI was looked for in every line after it)."""
        lines = ["#EXTM3U"]
        for i in range(20_000):
            lines += [f"#EXT-X-STREAM-INF:BANDWIDTH={i},RESOLUTION=640x360", f"v{i}/index.m3u8"]
        (tmp_path / "master.m3u8").write_text("\n".join(lines))
        with pytest.raises(plexo.PlaylistError) as refused:
            plexo.read_playlist(tmp_path / "master.m3u8")
        assert str(refused.value).count("index.m3u8 (640x360)") == 20_000
