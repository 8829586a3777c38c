"""What the command line tells a user: a batch goes on past the inputs it cannot do and counts
them, files that are not transport streams are named for what they are, outputs are named for
the format written, and the package's install advice and progress line read true."""
import io
import os
import re
import subprocess

import pytest

import _plexo
import plexo
from plexo._cli import Reporter, main
from conftest import FIXTURES

TS_BYTES = (FIXTURES / "ts_bframes.ts").read_bytes()
CONVERTED = _plexo._convert_ts_to_mp4(TS_BYTES, False, False)


@pytest.fixture
def inputs(tmp_path):
    """Three transport streams, a.ts to c.ts, and an output folder holding b.mp4 already."""
    source = tmp_path / "rec"
    source.mkdir()
    for name in "abc":
        (source / f"{name}.ts").write_bytes(TS_BYTES)
    out = tmp_path / "out"
    out.mkdir()
    (out / "b.mp4").write_bytes(b"keep me")
    return source, out


class TestBatches:
    def test_an_existing_output_fails_its_input_only(self, inputs, capfd):
        source, out = inputs
        assert main(["convert", "-o", str(out), str(source)]) == 1
        err = capfd.readouterr().err.splitlines()
        assert err == [f"plexo: {out / 'b.mp4'} exists; pass -y/--overwrite to replace it or "
                       "-n/--skip-existing to keep it", "converted 2, skipped 0, failed 1"]
        assert (out / "a.mp4").read_bytes() == (out / "c.mp4").read_bytes() == CONVERTED
        assert (out / "b.mp4").read_bytes() == b"keep me"

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_skip_existing_keeps_it_and_counts_it(self, inputs, capfd, jobs):
        source, out = inputs
        bad = source / "d.ts"
        bad.write_bytes(b"\x47" + bytes(500))
        assert main(["convert", "-n", "-j", jobs, "-o", str(out), str(source)]) == 1
        err = capfd.readouterr().err.splitlines()
        assert err[-1] == "converted 2, skipped 1, failed 1"
        assert sum(line.startswith(f"plexo: {bad}: ") for line in err) == 1 and len(err) == 2
        assert (out / "b.mp4").read_bytes() == b"keep me"
        assert sorted(p.name for p in out.iterdir()) == ["a.mp4", "b.mp4", "c.mp4"]

    def test_all_skipped_says_so_and_succeeds(self, inputs, capfd):
        source, out = inputs
        for name in "ac":
            (out / f"{name}.mp4").write_bytes(b"old")
        assert main(["convert", "--skip-existing", "-o", str(out), str(source)]) == 0
        assert capfd.readouterr().err == "converted 0, skipped 3, failed 0\n"
        assert main(["convert", "-n", str(source / "a.ts"), str(out / "a.mp4")]) == 0
        assert capfd.readouterr().err == "converted 0, skipped 1, failed 0\n"

    def test_quiet_drops_the_count_but_not_the_failures(self, inputs, capfd):
        source, out = inputs
        assert main(["convert", "-q", "-o", str(out), str(source)]) == 1
        assert capfd.readouterr().err.count("\n") == 1

    def test_skip_and_overwrite_exclude_each_other(self, inputs, capfd):
        source, out = inputs
        assert main(["convert", "-n", "-y", "-o", str(out), str(source)]) == 2
        assert "exclude each other" in capfd.readouterr().err

    def test_a_directory_stands_for_its_streams_and_playlists_for_convert(self, tmp_path, capfd):
        source = tmp_path / "rec"
        source.mkdir()
        (source / "a.ts").write_bytes(TS_BYTES)
        (source / "earlier.mp4").write_bytes(CONVERTED)  # a result, not an input
        (source / "list.m3u8").write_text("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na.ts\n"
                                          "#EXT-X-ENDLIST\n")
        assert main(["convert", "-o", str(tmp_path / "out"), str(source)]) == 0
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.mp4", "list.mp4"]
        assert (tmp_path / "out" / "list.mp4").read_bytes() == CONVERTED
        assert capfd.readouterr().err == "converted 2, skipped 0, failed 0\n"


@pytest.fixture(scope="module")
def others(tmp_path_factory):
    """Files users give where a transport stream belongs, made by ffmpeg, and a DASH manifest."""
    folder = tmp_path_factory.mktemp("others")
    made = {"a.png": ["-f", "lavfi", "-i", "testsrc=size=32x24", "-frames:v", "1"],
            "a.mkv": ["-f", "lavfi", "-i", "testsrc=size=32x24:rate=5", "-t", "0.4"],
            "a.wav": ["-f", "lavfi", "-i", "sine", "-t", "0.1"]}
    for name, args in made.items():
        try:
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *args, str(folder / name)],
                           check=True)
        except (OSError, subprocess.CalledProcessError):
            (folder / name).unlink(missing_ok=True)
    (folder / "a.mpd").write_text('<?xml version="1.0" encoding="utf-8"?>\n'
                                  '<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static">'
                                  '</MPD>\n')
    return folder


class TestMessagesNameTheTruth:
    @pytest.mark.parametrize("name, message", [
        ("a.png", "a PNG image, not a transport stream"),
        ("a.mkv", "a Matroska or WebM file, not a transport stream"),
        ("a.wav", "a WAV audio file, not a transport stream"),
        ("a.mpd", "a DASH manifest (.mpd): DASH manifests are not read yet"),
    ])
    def test_convert_names_what_it_was_given(self, others, tmp_path, capfd, name, message):
        if not (others / name).exists():
            pytest.skip("ffmpeg could not make the file")
        assert main(["convert", str(others / name), str(tmp_path / "o.mp4")]) == 1
        err = capfd.readouterr().err
        assert err.startswith(f"plexo: {others / name}: {message}") and err.count("\n") == 1
        expected = "^" + re.escape(f"{others / name}: {message}")
        with pytest.raises(ValueError, match=expected):
            plexo.convert_file(others / name, tmp_path / "o.mp4")
        with pytest.raises(ValueError, match=expected):  # in memory
            plexo.convert_file(others / name, io.BytesIO())
        assert not (tmp_path / "o.mp4").exists()

    def test_bytes_without_a_stream_are_not_a_transport_stream(self, tmp_path, capfd):
        junk = tmp_path / "junk.bin"
        junk.write_bytes(bytes(range(256)) * 40)  # holds 0x47 bytes, but no packets
        assert main(["convert", str(junk), str(tmp_path / "o.mp4")]) == 1
        err = capfd.readouterr().err
        assert "not a transport stream (" in err and "No video data found" not in err.split("(")[0]

    def test_convert_file_hints_at_defragment_for_an_mp4(self, tmp_path):
        with pytest.raises(ValueError, match="an MP4 file, not a transport stream "
                                             r"\('plexo defragment'"):
            plexo.convert_file(FIXTURES / "frag_gstreamer.mp4", tmp_path / "o.mp4")

    @pytest.mark.parametrize("command", ["defragment", "reset", "probe"])
    def test_a_dash_manifest_is_not_read_as_boxes(self, others, tmp_path, capfd, command):
        args = [str(others / "a.mpd")] + ([] if command == "probe" else [str(tmp_path / "o.mp4")])
        assert main([command, *args]) == 1
        err = capfd.readouterr().err
        assert "DASH manifests are not read yet" in err and "Box size" not in err

    @pytest.mark.parametrize("broken", ["video", "audio"])
    @pytest.mark.parametrize("through", ["file", "stdin"])
    def test_mux_names_the_input_at_fault(self, tmp_path, capfd, monkeypatch, broken, through):
        bad = tmp_path / "bad.mp4"
        bad.write_bytes(b"\0\0\0\x10ftypisom\0\0\0\0")  # a box, but no movie
        good = str(FIXTURES / "frag_gstreamer.mp4")
        video, audio = (str(bad), good) if broken == "video" else (good, str(bad))
        if through == "stdin":
            monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(bad.read_bytes())))
            video, audio = ("-", good) if broken == "video" else (good, "-")
        assert main(["mux", video, audio, str(tmp_path / "o.mp4")]) == 1
        assert f": the {broken} input: " in capfd.readouterr().err

    def test_overwrite_onto_a_directory_is_refused_by_name(self, tmp_path, capfd):
        target = tmp_path / "folder"
        target.mkdir()
        assert main(["convert", "-y", str(FIXTURES / "ts_bframes.ts"), str(target)]) == 1
        err = capfd.readouterr().err
        assert err.startswith(f"plexo: {target} is a directory") and ".part" not in err
        with pytest.raises(IsADirectoryError) as raised:
            plexo.convert_file(FIXTURES / "ts_bframes.ts", target)
        assert raised.value.filename == str(target) and os.listdir(tmp_path) == ["folder"]

    def test_hls_quiet_and_verbose(self, tmp_path, capfd):
        ts = str(FIXTURES / "ts_bframes.ts")
        assert main(["hls", "-q", ts, str(tmp_path / "q")]) == 0
        assert capfd.readouterr().err == ""
        assert main(["hls", "-v", "--segment-duration", "1", ts, str(tmp_path / "v")]) == 0
        err = capfd.readouterr().err.splitlines()
        segments = sorted(p.name for p in (tmp_path / "v").glob("seg_*.m4s"))
        assert [line.split(":")[0] for line in err[:-1]] == segments and len(segments) > 1
        assert err[-1].endswith(f"{len(segments)} segments")


class TestOutputsNamedForWhatTheyAre:
    @pytest.mark.parametrize("command, source, name", [
        ("convert", "ts_bframes.ts", "o.mkv"), ("convert", "ts_bframes.ts", "o.ts"),
        ("defragment", "frag_gstreamer.mp4", "o.webm")])
    def test_an_mp4_is_not_written_under_another_formats_name(self, tmp_path, capfd, command,
                                                              source, name):
        assert main([command, str(FIXTURES / source), str(tmp_path / name)]) == 2
        assert "writes MP4" in capfd.readouterr().err and os.listdir(tmp_path) == []

    @pytest.mark.parametrize("name", ["o.mp4", "o.m4v", "o.mov"])
    def test_mp4_names_are_written(self, tmp_path, name):
        assert main(["convert", str(FIXTURES / "ts_bframes.ts"), str(tmp_path / name)]) == 0
        assert (tmp_path / name).read_bytes() == CONVERTED

    def test_a_thumbnail_is_not_written_as_gif(self, tmp_path, capfd):
        assert main(["thumbnail", str(FIXTURES / "ts_bframes.ts"), str(tmp_path / "t.gif")]) == 2
        assert "not as .gif" in capfd.readouterr().err and os.listdir(tmp_path) == []

    @pytest.mark.parametrize("format", [[], ["--format", "hevc"], ["--format", "h264"]])
    def test_coded_pictures_are_named_for_their_codec(self, tmp_path, capfd, format):
        sources = [str(FIXTURES / "ts_hevc_bframes.ts"), str(FIXTURES / "ts_bframes.ts")]
        assert main(["thumbnail", *format, "-o", str(tmp_path), *sources]) == 0
        assert sorted(p.name for p in tmp_path.iterdir()) == ["ts_bframes.h264",
                                                             "ts_hevc_bframes.hevc"]
        hevc = (tmp_path / "ts_hevc_bframes.hevc").read_bytes()
        assert hevc == _plexo.extract_thumbnail_from_ts(
            (FIXTURES / "ts_hevc_bframes.ts").read_bytes())
        assert capfd.readouterr().err == "written 2, skipped 0, failed 0\n"


class TestInstallAndProgress:
    def test_the_image_advice_installs_from_the_checkout(self):
        from plexo._image import MISSING_EXTRA
        assert 'pip install ".[image]"' in MISSING_EXTRA and "plexo[image]" not in MISSING_EXTRA

    def test_the_distribution_is_plexo_video(self):
        text = (FIXTURES.parent.parent / "pyproject.toml").read_text()
        assert '\nname = "plexo-video"\n' in text

    def test_a_shorter_progress_line_leaves_nothing_of_the_longer_one(self):
        from test_cli import TestProgress
        stream = TestProgress.Terminal()
        reporter = Reporter(stream, total=3, quiet=False, total_bytes=3_000_000)
        reporter.advance(1_000_000)
        reporter.advance(1_000_000)
        for drawn in stream.getvalue().split("\r")[1:]:
            assert drawn.endswith("\x1b[K")  # the rest of the terminal line is cleared

    def test_help_names_every_codec_convert_takes(self, capsys):
        with pytest.raises(SystemExit):
            main(["convert", "--help"])
        text = capsys.readouterr().out
        assert "H.264 + AAC" not in text and "HEVC" in text and "AC-3" in text


class TestThumbnailWidth:
    @pytest.fixture(autouse=True)
    def _needs_pyav(self):
        pytest.importorskip("av")

    @staticmethod
    def size(picture: bytes) -> tuple:
        import av
        with av.open(io.BytesIO(picture)) as container:
            frame = next(container.decode(video=0))
            return frame.width, frame.height

    @pytest.mark.parametrize("width, expected", [(160, (160, 120)), (100, (100, 76)),
                                                 (640, (640, 480))])
    def test_a_decoded_picture_keeps_its_shape(self, tmp_path, width, expected):
        ts = str(FIXTURES / "ts_bframes.ts")  # 320x240
        assert main(["thumbnail", "--width", str(width), ts, str(tmp_path / "t.jpg")]) == 0
        assert self.size((tmp_path / "t.jpg").read_bytes()) == expected
        png = plexo.thumbnail_image(TS_BYTES, "png", width=width)
        assert self.size(png) == expected

    def test_width_needs_a_decoded_picture_and_room(self, tmp_path, capfd):
        ts = str(FIXTURES / "ts_bframes.ts")
        assert main(["thumbnail", "--width", "160", ts, str(tmp_path / "t.h264")]) == 2
        assert "--width scales a decoded picture" in capfd.readouterr().err
        with pytest.raises(ValueError, match="width scales a decoded picture"):
            plexo.thumbnail(TS_BYTES, "h264", width=160)
        with pytest.raises(ValueError, match="more than max_pixels"):
            plexo.thumbnail_image(TS_BYTES, "png", width=1000, max_pixels=320 * 240)
        assert os.listdir(tmp_path) == []
