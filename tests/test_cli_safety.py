"""The command line never loses data: inputs are never overwritten, outputs appear whole or not
at all, existing files and planted links are left alone unless asked, closed and full streams
fail in one line, an interrupted batch leaves no partial file; and it takes inputs as users
hold them (directories), picks the thumbnail format from the output's name, exits 2 on usage
errors and draws bytes, rate and time left."""
import fcntl
import io
import os
import resource
import signal
import subprocess
import sys
import time

import pytest

import _plexo
import plexo
from plexo._cli import Reporter, main
from plexo._output import atomic_output
from conftest import FIXTURES

TS_BYTES = (FIXTURES / "ts_bframes.ts").read_bytes()
CONVERTED = _plexo._convert_ts_to_mp4(TS_BYTES, False, False)


def run(*args, stdin=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "plexo", *args], input=stdin,
                          capture_output=True, check=False, **kwargs)


@pytest.fixture
def ts(tmp_path):
    path = tmp_path / "in.ts"
    path.write_bytes(TS_BYTES)
    return path


class TestInputsAreNeverOverwritten:
    @pytest.mark.parametrize("link", ["same", "hard", "symbolic"])
    def test_output_that_is_the_input_is_refused(self, ts, tmp_path, capfd, link):
        out = ts if link == "same" else tmp_path / "out.ts"
        if link == "hard":
            os.link(ts, out)
        elif link == "symbolic":
            out.symlink_to(ts)
        assert main(["convert", "-y", str(ts), str(out)]) == 1
        err = capfd.readouterr().err
        assert "would overwrite the input" in err and err.count("\n") == 1
        assert ts.read_bytes() == TS_BYTES

    def test_atomic_output_refuses_its_inputs_and_existing_files(self, ts, tmp_path):
        with pytest.raises(ValueError, match="would overwrite the input"):
            with atomic_output(ts, inputs=[ts]):
                pass
        with pytest.raises(FileExistsError):
            with atomic_output(ts, overwrite=False):
                pass
        assert ts.read_bytes() == TS_BYTES


class TestOutputsAppearWholeOrNotAtAll:
    def test_a_failure_while_writing_leaves_the_old_file_and_no_temporary(self, tmp_path):
        target = tmp_path / "out.mp4"
        target.write_bytes(b"old")
        with pytest.raises(RuntimeError):
            with atomic_output(target) as stream:
                stream.write(b"partial")
                raise RuntimeError("disk full")
        assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["out.mp4"]

    @pytest.mark.parametrize("source", ["file", "stdin"])  # file to file; through memory
    def test_a_full_disk_leaves_no_file(self, ts, tmp_path, source):
        def small_disk():  # writes past 20 kB fail as on a full disk (EFBIG, not a signal)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))
        out = tmp_path / "out" / "o.mp4"
        out.parent.mkdir()
        with open(ts, "rb") as stdin:
            result = subprocess.run(
                [sys.executable, "-m", "plexo", "convert", "-" if source == "stdin" else str(ts),
                 str(out)], stdin=stdin, capture_output=True, preexec_fn=small_disk, check=False)
        assert result.returncode == 1 and os.listdir(out.parent) == []
        assert result.stderr.decode().startswith(f"plexo: {out}: ")
        assert result.stderr.decode().endswith("File too large\n")

    def test_an_existing_output_is_refused_unless_overwrite(self, ts, tmp_path, capfd):
        out = tmp_path / "out.mp4"
        out.write_bytes(b"keep me")
        assert main(["convert", str(ts), str(out)]) == 1
        assert "exists; pass -y/--overwrite" in capfd.readouterr().err
        assert out.read_bytes() == b"keep me"
        assert main(["convert", "--overwrite", str(ts), str(out)]) == 0
        assert out.read_bytes() == CONVERTED

    @pytest.mark.parametrize("where", ["output", "output-dir"])
    def test_a_planted_symlink_is_replaced_never_followed(self, ts, tmp_path, where):
        victim = tmp_path / "victim"
        victim.write_bytes(b"precious")
        out_dir = tmp_path / "outdir"
        out_dir.mkdir()
        link = out_dir / "in.mp4"
        link.symlink_to(victim)
        args = ["-o", str(out_dir), str(ts)] if where == "output-dir" else [str(ts), str(link)]
        assert main(["convert", *args]) == 1  # exists: refused without -y
        assert main(["convert", "-y", *args]) == 0
        assert victim.read_bytes() == b"precious"
        assert not link.is_symlink() and link.read_bytes() == CONVERTED

    @pytest.mark.parametrize("read_first", [0, 10])  # gone at once; `| head -c 10`
    def test_a_closed_pipe_fails(self, read_first):
        reader, writer = os.pipe()
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)  # the output cannot fit in the pipe
        process = subprocess.Popen([sys.executable, "-m", "plexo", "convert",
                                    str(FIXTURES / "ts_bframes.ts"), "-"],
                                   stdout=writer, stderr=subprocess.PIPE)
        os.close(writer)
        with os.fdopen(reader, "rb") as stdout:
            assert len(stdout.read(read_first)) == read_first
        _, err = process.communicate(timeout=60)
        assert process.returncode == 1
        assert err.decode() == ("plexo: standard output: the reader closed the pipe before the "
                                "output was written\n")

    def test_a_full_standard_output_is_one_line(self):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with open("/dev/full", "wb") as full:
            result = subprocess.run([sys.executable, "-m", "plexo", "probe", "--json",
                                     str(FIXTURES / "frag_gstreamer.mp4")],
                                    stdout=full, stderr=subprocess.PIPE, check=False)
        assert result.returncode == 1
        assert result.stderr.decode() == "plexo: No space left on device\n"

    @pytest.mark.parametrize("args", [["probe", "--json", str(FIXTURES / "frag_gstreamer.mp4")],
                                      ["probe", str(FIXTURES / "frag_gstreamer.mp4")],
                                      ["convert", str(FIXTURES / "ts_bframes.ts"), "-"]])
    def test_a_closed_standard_output_is_one_line(self, args):
        result = subprocess.run([sys.executable, "-m", "plexo", *args], capture_output=True,
                                preexec_fn=lambda: os.close(1), check=False)
        assert result.returncode == 1
        assert result.stderr.decode() == "plexo: standard output is closed\n"

    @pytest.mark.parametrize("signum, jobs, status", [(signal.SIGINT, "2", 130),
                                                      (signal.SIGTERM, "2", 143),
                                                      (signal.SIGTERM, "1", 143)])
    def test_an_interrupted_batch_leaves_no_partial_file(self, tmp_path, signum, jobs, status):
        sources = []
        for i in range(40):
            sources.append(tmp_path / f"in{i}.ts")
            sources[-1].write_bytes((FIXTURES / "ts_1080p.ts").read_bytes())
        out_dir = tmp_path / "out"
        process = subprocess.Popen([sys.executable, "-m", "plexo", "convert", "--jobs", jobs,
                                    "-o", str(out_dir), *map(str, sources)],
                                   stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not list(out_dir.glob("*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        process.send_signal(signum)
        _, err = process.communicate(timeout=60)
        expected = _plexo._convert_ts_to_mp4((FIXTURES / "ts_1080p.ts").read_bytes(), False, False)
        written = sorted(out_dir.iterdir())
        assert all(path.read_bytes() == expected for path in written), written
        assert process.returncode == status and len(written) < len(sources)
        if jobs != "1":
            assert err.decode().startswith("plexo: interrupted; ") and err.count(b"\n") == 1

    def test_memory_error_in_a_batch_is_one_line(self, ts, tmp_path, monkeypatch, capfd):
        def exhausted(*args, **kwargs):
            raise MemoryError
        monkeypatch.setattr(plexo._core, "convert_ts_to_mp4", exhausted)
        monkeypatch.setattr(_plexo, "_convert_file", exhausted)  # files go from file to file
        other = tmp_path / "other.ts"
        other.write_bytes(TS_BYTES)
        assert main(["convert", "-j", "2", "-o", str(tmp_path / "o"), str(ts), str(other)]) == 1
        err = capfd.readouterr().err
        assert err.count("\n") == 3 and err.count("out of memory") == 2 and "Traceback" not in err
        assert err.endswith("\nconverted 0, skipped 0, failed 2\n")


class TestMessages:
    def test_a_file_name_with_a_newline_stays_on_one_line(self, tmp_path, capfd):
        name = tmp_path / "bad\nname.ts"
        name.write_bytes(b"not a stream")
        assert main(["convert", str(name), str(tmp_path / "out.mp4")]) == 1
        err = capfd.readouterr().err
        assert err.count("\n") == 1 and "bad\\nname.ts" in err

    @pytest.mark.parametrize("args", [["convert", "only-one"], ["convert", "--jobs", "0", "a", "b"],
                                      ["mux", "-", "-", "o"], ["convert"]])
    def test_usage_errors_exit_2(self, args, capfd):
        try:
            status = main(args)
        except SystemExit as exit:
            status = exit.code
        assert status == 2

    @pytest.mark.parametrize("command", ["defragment", "reset"])
    def test_a_transport_stream_where_an_mp4_belongs_points_to_convert(self, ts, tmp_path, capfd,
                                                                       command):
        assert main([command, str(ts), str(tmp_path / "o.mp4")]) == 1
        assert "convert it with plexo.convert_ts_to_mp4 ('plexo convert')" in capfd.readouterr().err

    def test_diagnostics_only_with_verbose(self, ts, tmp_path, capfd):
        assert main(["convert", str(ts), str(tmp_path / "a.mp4")]) == 0
        assert capfd.readouterr() == ("", "")
        assert main(["convert", "-v", str(ts), str(tmp_path / "b.mp4")]) == 0
        assert capfd.readouterr().err.startswith("Found PIDs")


class TestInputsAndFormats:
    def test_a_directory_stands_for_its_media_files(self, tmp_path, capfd):
        source = tmp_path / "rec"
        source.mkdir()
        (source / "a.ts").write_bytes(TS_BYTES)
        (source / "b.m2ts").write_bytes((FIXTURES / "ts_192.m2ts").read_bytes())
        (source / "notes.txt").write_text("not media")
        assert main(["convert", "-o", str(tmp_path / "out"), str(source)]) == 0
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.mp4", "b.mp4"]

    @pytest.mark.parametrize("name, magic", [("t.h264", b"\0\0\0\1\x67"), ("t.264", b"\0\0\0\1\x67"),
                                             ("t.hevc", b"\0\0\0\1\x40\x01"),
                                             ("t.265", b"\0\0\0\1\x40\x01"),
                                             ("t.png", b"\x89PNG"), ("t.jpg", b"\xff\xd8"),
                                             ("t.jpeg", b"\xff\xd8")])
    def test_thumbnail_format_follows_the_extension(self, ts, tmp_path, name, magic):
        if not name.endswith(("264", "265", "hevc")):
            pytest.importorskip("av")
        if name.endswith(("265", "hevc")):  # the coded picture as the stream carries it
            ts = FIXTURES / "ts_hevc_bframes.ts"
        assert main(["thumbnail", str(ts), str(tmp_path / name)]) == 0
        assert (tmp_path / name).read_bytes().startswith(magic)
        assert main(["thumbnail", "-y", "--format", "h264", str(ts), str(tmp_path / name)]) == 0
        assert (tmp_path / name).read_bytes().startswith(b"\0\0\0\1")

    def test_progress_shows_bytes_rate_and_time_left(self):
        class Terminal(io.StringIO):
            def isatty(self):
                return True
        stream = Terminal()
        reporter = Reporter(stream, total=2, quiet=False, total_bytes=4_000_000)
        reporter.advance(2_000_000)
        assert "] 1/2 2.0 MB of 4.0 MB, " in stream.getvalue()
        assert "/s, ETA " in stream.getvalue()


def test_thumbnail_image_bounds_the_decoded_picture():
    pytest.importorskip("av")
    with pytest.raises(ValueError, match="320x240, more than max_pixels"):
        plexo.thumbnail_image(TS_BYTES, "png", max_pixels=320 * 240 - 1)
    assert plexo.thumbnail_image(TS_BYTES, "png", max_pixels=320 * 240).startswith(b"\x89PNG")


class TestInputsThatNeverEnd:
    """Devices, FIFOs and endless standard input are refused, not read until memory ends."""

    def test_a_device_or_a_fifo_is_refused_before_it_is_read(self, tmp_path):
        fifo = tmp_path / "feed.ts"
        os.mkfifo(fifo)  # nobody writes: opening it for reading would block
        for args in (["convert", "/dev/zero", str(tmp_path / "o.mp4")],
                     ["convert", str(fifo), str(tmp_path / "o.mp4")],
                     ["probe", "/dev/zero"], ["thumbnail", "/dev/urandom", str(tmp_path / "t.h264")]):
            result = run(*args, timeout=60)
            assert result.returncode == 1, args
            assert result.stderr.decode() == f"plexo: {args[1]}: Not a regular file\n"
        assert sorted(os.listdir(tmp_path)) == ["feed.ts"]

    @pytest.mark.memory_bound  # the address-space limit leaves no room for a sanitizer's shadow memory
    def test_standard_input_that_is_not_media_is_refused_in_its_first_window(self, tmp_path):
        def small_memory():  # reading /dev/zero whole would fail with MemoryError
            resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
        with open("/dev/zero", "rb") as endless:
            result = subprocess.run([sys.executable, "-m", "plexo", "convert", "-", str(tmp_path / "o.mp4")],
                                    stdin=endless, capture_output=True, preexec_fn=small_memory, timeout=60)
        assert result.returncode == 1
        assert result.stderr.decode() == ("plexo: -: not media: no MPEG-TS sync byte and no MP4 box "
                                          "in its first 1048576 bytes\n")
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("command", ["convert", "defragment"])
    @pytest.mark.parametrize("output", ["file", "stdout"])
    def test_a_long_standard_input_goes_from_file_to_file(self, tmp_path, command, output):
        """Past what is held in memory (made 64 KiB here), standard input is copied to a
        temporary file and the command works from file to file: the same bytes."""
        if command == "convert":
            source, expected = TS_BYTES, CONVERTED
        else:
            source = (FIXTURES / "frag_gstreamer.mp4").read_bytes()
            expected = _plexo.defragment_mp4(source)
        out = str(tmp_path / "o.mp4") if output == "file" else "-"
        script = ("import sys, plexo._cli as cli; cli.STDIN_IN_MEMORY = 1 << 16; cli.STDIN_WINDOW = 1 << 14; "
                  f"sys.exit(cli.main({[command, '-', out]!r}))")
        result = subprocess.run([sys.executable, "-c", script], input=source, capture_output=True)
        assert result.returncode == 0, result.stderr
        written = result.stdout if output == "stdout" else (tmp_path / "o.mp4").read_bytes()
        assert len(source) > 1 << 16 and written == expected
        assert os.listdir(tmp_path) == ([] if output == "stdout" else ["o.mp4"])


KILLED_WRITER = """
import sys, time
from plexo import _output
if sys.argv[2] == "named":
    _output._unnamed = lambda directory: None  # a file system without unnamed files
with _output.atomic_output(sys.argv[1]) as out:
    out.write(b"x" * 100000)
    out.flush()
    print("writing", flush=True)
    time.sleep(60)
"""


class TestKilledRuns:
    def kill_while_writing(self, target, how: str) -> None:
        writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(target), how],
                                  stdout=subprocess.PIPE)
        assert writer.stdout.readline() == b"writing\n"
        writer.send_signal(signal.SIGKILL)
        writer.wait()

    def test_sigkill_leaves_nothing_behind(self, tmp_path):
        self.kill_while_writing(tmp_path / "out.mp4", "unnamed")
        assert os.listdir(tmp_path) == []

    def test_without_unnamed_files_the_next_run_removes_what_a_killed_one_left(self, tmp_path,
                                                                                monkeypatch):
        from plexo import _output
        self.kill_while_writing(tmp_path / "out.mp4", "named")
        (left,) = os.listdir(tmp_path)
        assert left.startswith(".out.mp4.") and left.endswith(".part")
        old = time.time() - 2 * _output.STALE_AFTER
        os.utime(tmp_path / left, (old, old))
        # A temporary another run is writing (locked), and a fresh one, stay.
        held = tmp_path / ".other.mp4.abcd1234.part"
        fresh = tmp_path / ".other.mp4.efgh5678.part"
        held.write_bytes(b"")
        fresh.write_bytes(b"")
        os.utime(held, (old, old))
        monkeypatch.setattr(_output, "_unnamed", lambda directory: None)
        monkeypatch.setattr(_output, "_swept", set())
        with open(held, "rb") as holder:
            fcntl.flock(holder.fileno(), fcntl.LOCK_EX)
            with atomic_output(tmp_path / "next.mp4") as out:
                out.write(b"next")
        assert sorted(os.listdir(tmp_path)) == sorted([held.name, fresh.name, "next.mp4"])

    def test_a_target_that_appears_while_written_is_kept_without_overwrite(self, tmp_path):
        target = tmp_path / "out.mp4"
        with pytest.raises(FileExistsError):
            with atomic_output(target, overwrite=False) as out:
                out.write(b"ours")
                target.write_bytes(b"theirs")
        assert target.read_bytes() == b"theirs" and os.listdir(tmp_path) == ["out.mp4"]
