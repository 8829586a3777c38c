"""The plexo command line: files and standard streams, batches, errors, help."""
import io
import json
import os
import subprocess
import sys

import pytest

import _plexo
from plexo._cli import Reporter, build_parser, main
from conftest import FIXTURES, read_fixture

TS = str(FIXTURES / "ts_bframes.ts")
FRAGMENTED = str(FIXTURES / "frag_gstreamer.mp4")
COMMANDS = ["convert", "defragment", "reset", "thumbnail", "mux", "probe", "hls", "demo"]


def plexo(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "plexo", *args], input=stdin,
                          capture_output=True, check=False)


class TestStandardStreams:
    def test_stdout_carries_only_the_media(self):
        result = plexo("convert", "-v", "-", "-", stdin=read_fixture("ts_bframes.ts"))
        assert result.returncode == 0, result.stderr
        assert result.stdout == _plexo._convert_ts_to_mp4(
            read_fixture("ts_bframes.ts"), False, False)
        assert result.stderr.decode().startswith("Found PIDs - Video: 256, Audio: 257\n")

    def test_quiet_drops_the_diagnostics(self, tmp_path):
        result = plexo("thumbnail", "--quiet", TS, "-")
        assert result.returncode == 0 and result.stderr == b""
        assert result.stdout == _plexo.extract_thumbnail_from_ts(read_fixture("ts_bframes.ts"))

    def test_stdout_to_a_terminal_is_refused(self, monkeypatch, capsys):
        monkeypatch.setattr(sys.stdout, "isatty", lambda: True, raising=False)
        assert main(["convert", TS, "-"]) == 1
        assert "refusing to write media to a terminal" in capsys.readouterr().err


class TestFiles:
    @pytest.mark.parametrize("command, source, extension", [
        ("convert", TS, _plexo.convert_ts_to_mp4),
        ("defragment", FRAGMENTED, _plexo.defragment_mp4),
        ("thumbnail", FRAGMENTED, _plexo.extract_thumbnail_from_mp4),
    ])
    def test_input_output(self, tmp_path, capfd, command, source, extension):
        out = tmp_path / "out"
        assert main([command, "-q", source, str(out)]) == 0
        assert capfd.readouterr() == ("", "")
        assert out.read_bytes() == extension(open(source, "rb").read())

    def test_batch_on_a_thread_pool(self, tmp_path, capfd):
        sources = sorted(str(p) for p in FIXTURES.glob("ts_*.ts"))
        status = main(["convert", "--jobs", "2", "-o", str(tmp_path / "outdir"), *sources])
        captured = capfd.readouterr()
        # The cut and the MPEG-2 video fixtures are refused. Each failure is reported once;
        # the other files are converted.
        refused = {
            "ts_cut_1000.ts": "No video data found",
            "ts_mpeg2_mp2.ts": "Unsupported video stream: MPEG-2 video",
        }
        assert status == 1
        assert captured.err.count("plexo: ") == len(refused)
        for name, message in refused.items():
            assert f"{name}: {message}" in captured.err
        assert captured.out == ""
        for source in sources:
            target = tmp_path / "outdir" / (os.path.basename(source)[:-3] + ".mp4")
            if os.path.basename(source) in refused:
                assert not target.exists()
            else:
                assert target.read_bytes() == _plexo._convert_ts_to_mp4(open(source, "rb").read(), False, False,
                                                                        all_audio=True)

    def test_batch_lines_are_labelled_by_input(self, tmp_path, capfd):
        assert main(["convert", "-v", "-o", str(tmp_path), TS, str(FIXTURES / "ts_1080p.ts")]) == 0
        err = capfd.readouterr().err.splitlines()
        assert f"{TS}: Found PIDs - Video: 256, Audio: 257" in err and len(err) == 11
        assert err[-1] == "converted 2, skipped 0, failed 0"

    def test_outputs_that_would_collide_are_refused(self, tmp_path, capfd):
        (tmp_path / "a").mkdir()
        (tmp_path / "a" / "ts_bframes.ts").write_bytes(b"")
        assert main(["convert", "-o", str(tmp_path), TS, str(tmp_path / "a" / "ts_bframes.ts")]) == 1
        assert "would both be written to" in capfd.readouterr().err
        assert list(tmp_path.glob("*.mp4")) == []

    def test_an_output_may_not_replace_its_input(self, tmp_path, capfd):
        (tmp_path / "x.mp4").write_bytes(read_fixture("frag_gstreamer.mp4"))
        assert main(["reset", "-o", str(tmp_path), str(tmp_path / "x.mp4")]) == 1
        assert "would overwrite the input" in capfd.readouterr().err


class TestErrors:
    @pytest.mark.parametrize("args, message", [
        (["convert", "absent.ts", "out.mp4"], "plexo: absent.ts: No such file or directory\n"),
        (["convert", FRAGMENTED, "out.mp4"], f"plexo: {FRAGMENTED}: an MP4 file, not a transport stream"),
        (["defragment", TS, "out.mp4"], f"plexo: {TS}: "),
        (["convert", TS], "plexo: give INPUT OUTPUT, or -o DIR"),
        (["mux", "-", "-", "out.mp4"], "plexo: standard input can be read only once\n"),
    ])
    def test_one_line_and_status_1_or_2_for_usage(self, tmp_path, monkeypatch, capfd, args, message):
        monkeypatch.chdir(tmp_path)
        assert main(args) == (2 if args in (["convert", TS], ["mux", "-", "-", "out.mp4"]) else 1)
        err = capfd.readouterr().err
        assert err.startswith(message) and err.count("\n") == 1
        assert not (tmp_path / "out.mp4").exists()

    def test_usage_errors_exit_2(self, capsys):
        with pytest.raises(SystemExit) as exit:
            main(["convert", "--jobs", "0", "a", "b"])
        assert exit.value.code == 2


class TestHelp:
    @pytest.mark.parametrize("command", COMMANDS)
    def test_every_command_has_help_with_an_example(self, capsys, command):
        with pytest.raises(SystemExit) as exit:
            main([command, "--help"])
        text = capsys.readouterr().out
        assert exit.value.code == 0
        assert f"plexo {command} " in text.split("examples:")[1]

    def test_every_command_is_listed(self):
        subparsers = next(a for a in build_parser()._actions if a.dest == "command")
        assert list(subparsers.choices) == COMMANDS

    def test_console_script_and_module_agree(self):
        result = plexo("--version")
        assert result.stdout.decode().strip() == f"plexo {_plexo.__version__}"


class TestProbe:
    def test_json_of_a_converted_file(self, tmp_path, capsys):
        out = tmp_path / "out.mp4"
        out.write_bytes(_plexo._convert_ts_to_mp4(read_fixture("ts_bframes.ts"), False, False))
        assert main(["probe", "--json", str(out)]) == 0
        [info] = json.loads(capsys.readouterr().out)
        assert info["format"] == "mp4" and info["file"] == str(out)
        kinds = {track["kind"]: track for track in info["tracks"]}
        assert kinds["video"]["codec"] == "avc1" and kinds["video"]["samples"] == 50
        assert kinds["video"]["key_frames"] == 5
        assert (kinds["video"]["width"], kinds["video"]["height"]) == (320, 240)
        assert kinds["audio"]["codec"] == "mp4a" and kinds["audio"]["sample_rate"] == 48000
        assert kinds["audio"]["channels"] == 2
        assert info["duration"] == pytest.approx(2.0, abs=0.1)

    def test_table_names_every_track(self, capsys):
        assert main(["probe", FRAGMENTED]) == 0
        out = capsys.readouterr().out
        assert "avc1" in out and "mp4a" in out

    def test_output_follows_the_readers_contract(self, monkeypatch, capsys):
        """JSON passes the reader's dictionary through, in a list naming each file: one shape
        for one file or several."""
        info = {"format": "mp4", "duration": 2.0, "tracks": [
            {"id": 1, "kind": "video", "codec": "avc1", "timescale": 90000, "duration": 2.0,
             "samples": 50, "key_frames": 5, "width": 320, "height": 240},
            {"id": 2, "kind": "audio", "codec": "mp4a", "timescale": 48000, "duration": 2.005,
             "samples": 95, "key_frames": 95, "sample_rate": 48000, "channels": 2}]}
        monkeypatch.setattr(_plexo, "_probe", lambda data, **_: info)
        monkeypatch.setattr(_plexo, "_probe_file", lambda fd: info)  # an MP4 read by seeking
        assert main(["probe", "--json", TS]) == 0
        assert json.loads(capsys.readouterr().out) == [{"file": TS, **info}]
        assert main(["probe", "--json", TS, FRAGMENTED]) == 0
        assert json.loads(capsys.readouterr().out) == [{"file": TS, **info}, {"file": FRAGMENTED, **info}]
        assert main(["probe", TS]) == 0
        table = capsys.readouterr().out.splitlines()
        assert table[0] == f"{TS}: mp4, 2.000 s, 2 tracks"
        assert table[2].split() == ["1", "video", "avc1", "90000", "2.000", "s", "50", "5", "320x240"]
        assert table[3].endswith("95  48000 Hz, 2 ch")

    def test_a_file_the_reader_refuses_is_one_line(self, monkeypatch, capfd):
        def reader(data, **_):
            raise ValueError("Not an MP4 or a transport stream")
        monkeypatch.setattr(_plexo, "_probe", reader)
        assert main(["probe", "--json", TS]) == 1
        assert capfd.readouterr() == ("[]\n", f"plexo: {TS}: Not an MP4 or a transport stream\n")


class TestProgress:
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    def test_a_batch_on_a_terminal_draws_a_bar_under_the_lines(self):
        stream = self.Terminal()
        reporter = Reporter(stream, total=2, quiet=False)
        reporter.lines("Found PIDs - Video: 256, Audio: 257\n", "a.ts: ")
        reporter.advance()
        reporter.error("b.ts: No video data found")
        reporter.advance()
        reporter.finish()
        text = stream.getvalue()
        assert "\r\x1b[Ka.ts: Found PIDs - Video: 256, Audio: 257\n" in text
        assert "\r\x1b[Kplexo: b.ts: No video data found\n" in text
        assert "] 1/2 " in text and text.rstrip("\n").split("\r")[-1].startswith("[" + "#" * 30 + "] 2/2 ")

    @pytest.mark.parametrize("total, terminal, quiet", [(1, True, False), (2, False, False), (2, True, True)])
    def test_no_bar_for_one_input_a_file_or_quiet(self, total, terminal, quiet):
        stream = self.Terminal() if terminal else io.StringIO()
        reporter = Reporter(stream, total=total, quiet=quiet)
        reporter.error("x.ts: No video data found")
        reporter.advance()
        reporter.finish()
        assert stream.getvalue() == "plexo: x.ts: No video data found\n"
