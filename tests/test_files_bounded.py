"""File-to-file operations: the bytes of the in-memory functions, errors that name the file
and leave nothing under the output's name, and memory bounded by the tables, not the media.

Large inputs are real media looped with ffmpeg's -stream_loop (continuous timestamps) into a
temporary folder; the multi-gigabyte ones run only with PLEXO_LARGE_TESTS=1."""
from __future__ import annotations

import contextlib
import io
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _plexo
import plexo
from builders import (AUD, PPS, SPS, VIDEO_PID, Refused, box_boundaries, get_box, large_box, nal, outcome, pat,
                      patch_box, replace_box, transport_stream, ts_packet, ts_packets, u32)
from conftest import FIXTURES, run_tool

LARGE = bool(os.environ.get("PLEXO_LARGE_TESTS"))
VIDEO = (FIXTURES / "frag_video_only.mp4").read_bytes()
AUDIO = (FIXTURES / "mux_audio_48k.mp4").read_bytes()  # track 2: joins VIDEO

# name: (file function, in-memory function)
OPERATIONS = {
    "convert": (lambda src, dst: plexo.convert_file(src, dst, diagnostics=False),
                lambda data: _plexo._convert_ts_to_mp4(data, False, False)),
    "defragment": (plexo.defragment_file, _plexo.defragment_mp4),
    "reset": (plexo.reset_file, _plexo.reset_mp4_timestamps),
    "mux": (plexo.mux_files, plexo.mux_fmp4_tracks),  # both renumber colliding track IDs
}


def in_memory(name: str, *inputs: bytes) -> bytes | Refused:
    return outcome(OPERATIONS[name][1], *inputs)


def from_files(name: str, folder: Path, *inputs: bytes) -> bytes | Refused:
    """The file function's output, or its error without the input paths that lead it."""
    paths = []
    for i, data in enumerate(inputs):
        paths.append(folder / f"input{i}.mp4")
        paths[-1].write_bytes(data)
    out = folder / "out.mp4"
    try:
        written = OPERATIONS[name][0](*paths, out)
    except ValueError as exc:
        assert sorted(os.listdir(folder)) == sorted(p.name for p in paths), "left behind"
        names = ", ".join(map(str, paths)) + ": "
        assert str(exc).startswith(names)
        return Refused(str(exc)[len(names):])
    data = out.read_bytes()
    out.unlink()
    assert written == len(data)
    return data


def hostile(data: bytes) -> dict[str, bytes]:
    """The file cut at every box boundary, and with hostile sizes on its main boxes."""
    cases = {f"cut at {at}": data[:at] for at in box_boundaries(data) if at < len(data)}
    for path in ["moov", "moov/trak", "moov/mvex", "moof", "moof/traf", "moof/traf/trun",
                 "moof/traf/tfdt", "mdat"]:
        for size in [0, 1, 7, 9, 0xFFFFFFFF]:
            cases[f"{path} size {size}"] = patch_box(data, path, 0, u32(size))
        whole = get_box(data, path)
        for size in [15, 1 << 63]:
            cases[f"{path} largesize {size}"] = replace_box(
                data, path, large_box(path.rsplit("/", 1)[-1], whole[8:], largesize=size))
    return cases


def convert_both_ways(tmp_path, data: bytes) -> tuple[tuple, tuple]:
    """(result, diagnostic lines) of convert_file and of convert_ts_to_mp4 on `data`, every
    audio stream a track in both (with the package's naming of what is not a transport
    stream)."""
    memory_lines: list[str] = []
    try:
        memory = plexo._core._convert_checked(
            data[:1 << 16], lambda: _plexo._convert_ts_to_mp4(data, False, memory_lines, all_audio=True))
    except ValueError as exc:
        memory = f"ValueError: {exc}"
    src, dst = tmp_path / "in.ts", tmp_path / "out.mp4"
    src.write_bytes(data)
    sink = io.StringIO()
    try:
        plexo.convert_file(src, dst, diagnostics=sink)
        result = dst.read_bytes()
        dst.unlink()
    except ValueError as exc:
        assert str(exc).startswith(f"{src}: ") and not dst.exists()
        result = f"ValueError: {str(exc)[len(str(src)) + 2:]}"
    return (result, sink.getvalue()), (memory, "".join(memory_lines))


def packet_read_again(overlap: int = 100) -> bytes:
    """A stream in which a junk packet covers the start of a real one, `overlap` bytes before
    it: the walk reads the junk packet, loses the sync after it and finds it again inside it,
    so the video's payloads of the two lie closer together than their length."""
    slice_data = bytes(0x10 + (i % 0x30) for i in range(184 * 12))  # neither 0x00 nor 0x47
    stream = transport_stream([(AUD + nal(SPS) + nal(PPS) + nal(b"\x65\x88" + slice_data), 0, None),
                               (AUD + nal(b"\x41\x9a" + slice_data), 3000, None)])
    packets = ts_packets(stream)
    real = 6  # a video packet inside the first picture
    assert packets[real][1] & 0x40 == 0 and (packets[real][1] & 0x1F) << 8 | packets[real][2] == VIDEO_PID
    junk = ts_packet(VIDEO_PID, b"\xee" * (overlap - 4) + packets[real][:188 - overlap], counter=5)
    assert junk[188 - 1] != 0x47 and packets[real][188 - overlap] != 0x47
    # Another PID before the junk packet, so that its payload starts a run of its own.
    return b"".join(packets[:real] + [pat(), junk[:overlap]] + packets[real:])


class TestSameBytes:
    @pytest.mark.parametrize("fixture", sorted(p.name for p in FIXTURES.glob("*.ts")) + ["ts_192.m2ts"])
    def test_transport_streams(self, tmp_path, fixture):
        """The converted file and the diagnostic lines, fixture by fixture."""
        theirs, ours = convert_both_ways(tmp_path, (FIXTURES / fixture).read_bytes())
        assert theirs == ours

    def test_cut_and_damaged_transport_streams(self, tmp_path):
        data = (FIXTURES / "ts_1080p.ts").read_bytes()
        cases = {f"cut at {at}": data[:at] for at in range(0, len(data), 188 * 7 + 61)}
        packets = ts_packets(data)
        cases["sync lost mid-file"] = b"".join(packets[:40]) + b"\x47junk" * 300 + b"".join(packets[40:])
        cases["no sync byte"] = bytes(range(0x48, 0x100)) * 40
        for label, damaged in cases.items():
            theirs, ours = convert_both_ways(tmp_path, damaged)
            assert theirs == ours, label

    def test_a_packet_read_again_after_a_lost_sync(self, tmp_path):
        """The bytes of a packet found again inside the one read before it are read from
        where they lie, not 4 GiB past them."""
        theirs, ours = convert_both_ways(tmp_path, packet_read_again())
        assert isinstance(ours[0], bytes) and theirs == ours

    @pytest.mark.parametrize("fixture", ["frag_gstreamer.mp4", "frag_every_frame.mp4",
                                         "frag_audio_late.mp4", "frag_negative_cts.mp4",
                                         "frag_base_data_offset.mp4", "reset_av_3600.mp4",
                                         "prog_moov_last.mp4", "not_media"])
    @pytest.mark.parametrize("name", ["defragment", "reset"])
    def test_fixtures(self, tmp_path, name, fixture):
        data = b"not media at all" * 8 if fixture == "not_media" else (FIXTURES / fixture).read_bytes()
        assert from_files(name, tmp_path, data) == in_memory(name, data)

    @pytest.mark.parametrize("name, place", [("defragment", 0), ("reset", 0), ("mux", 0), ("mux", 1)])
    def test_cut_and_hostile_inputs(self, tmp_path, name, place):
        """Every input the in-memory function refuses, the file function refuses with the
        same message; every other gives the same bytes."""
        source = [VIDEO, AUDIO][place]
        refused = 0
        for label, data in hostile(source).items():
            inputs = [VIDEO, AUDIO][:2 if name == "mux" else 1]
            inputs[place] = data
            expected = in_memory(name, *inputs)
            refused += isinstance(expected, Refused)
            assert from_files(name, tmp_path, *inputs) == expected, label
        assert refused > 0


class TestErrors:
    def test_input_that_is_missing_a_directory_or_the_output(self, tmp_path):
        (tmp_path / "in.mp4").write_bytes(VIDEO)
        with pytest.raises(FileNotFoundError) as missing:
            plexo.defragment_file(tmp_path / "absent.mp4", tmp_path / "out.mp4")
        with pytest.raises(IsADirectoryError) as directory:
            plexo.reset_file(tmp_path, tmp_path / "out.mp4")
        with pytest.raises(ValueError, match="same file|overwrite"):
            plexo.reset_file(tmp_path / "in.mp4", tmp_path / "in.mp4")
        assert missing.value.filename == str(tmp_path / "absent.mp4")
        assert directory.value.filename == str(tmp_path)
        assert (tmp_path / "in.mp4").read_bytes() == VIDEO
        assert sorted(os.listdir(tmp_path)) == ["in.mp4"]

    @pytest.mark.parametrize("target", ["absent/out.mp4", "in.mp4/out.mp4"])
    def test_unwritable_target(self, tmp_path, target):
        (tmp_path / "in.mp4").write_bytes(VIDEO)
        with pytest.raises(OSError) as raised:
            plexo.defragment_file(tmp_path / "in.mp4", tmp_path / target)
        assert raised.value.filename == str(tmp_path / target)
        assert sorted(os.listdir(tmp_path)) == ["in.mp4"]

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
    def test_unreadable_input(self, tmp_path):
        (tmp_path / "in.mp4").write_bytes(VIDEO)
        (tmp_path / "in.mp4").chmod(0)
        with pytest.raises(PermissionError) as raised:
            plexo.defragment_file(tmp_path / "in.mp4", tmp_path / "out.mp4")
        assert raised.value.filename == str(tmp_path / "in.mp4")
        assert not (tmp_path / "out.mp4").exists()

    @pytest.mark.parametrize("change", ["rewritten in place", "grown", "replaced"])
    @pytest.mark.parametrize("name", ["convert", "defragment"])
    def test_an_input_changed_while_read_fails(self, tmp_path, monkeypatch, change, name):
        """The input changes while the operation runs (here, as it returns): the result could
        mix two versions, so it fails naming the input and writes nothing."""
        data = (FIXTURES / ("ts_bframes.ts" if name == "convert" else "frag_gstreamer.mp4")).read_bytes()
        src, dst = tmp_path / "in", tmp_path / "out.mp4"
        src.write_bytes(data)
        native_name = {"convert": "_convert_file", "defragment": "_defragment_file"}[name]
        native = getattr(_plexo, native_name)

        def changing(*args, **kwargs):
            written = native(*args, **kwargs)
            if change == "rewritten in place":
                with open(src, "r+b") as stream:
                    stream.write(b"\x47" * 188)
                stat = os.stat(src)  # a second later, as a rewrite during a long call is
                os.utime(src, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
            elif change == "grown":
                with open(src, "ab") as stream:
                    stream.write(data[:188])
            else:
                (tmp_path / "new").write_bytes(data)
                os.replace(tmp_path / "new", src)
            return written

        monkeypatch.setattr(_plexo, native_name, changing)
        with pytest.raises(ValueError) as raised:
            OPERATIONS[name][0](src, dst)
        assert str(raised.value).startswith(f"{src}: File changed while it was read")
        assert sorted(os.listdir(tmp_path)) == ["in"]

    def test_a_device_or_a_fifo_is_refused_before_it_is_opened(self, tmp_path):
        fifo = tmp_path / "feed.ts"
        os.mkfifo(fifo)  # opening it for reading would wait for a writer
        for source in ("/dev/zero", fifo):
            for function in (plexo.convert_file, plexo.defragment_file):
                with pytest.raises(ValueError, match=f"^{source}: Not a regular file$"):
                    function(source, tmp_path / "out.mp4")
            with pytest.raises(ValueError, match=f"^{source}: Not a regular file$"):
                plexo.convert_file(source, io.BytesIO())  # through memory
        assert os.listdir(tmp_path) == ["feed.ts"]

    @pytest.mark.parametrize("operation", [_plexo._defragment_file, _plexo._reset_file,
                                           lambda i, o: _plexo._convert_file(i, o, False, False)])
    def test_input_cut_short_while_written(self, looped, operation):
        """The output goes to a pipe: the test reads its first bytes, cuts the input, and the
        operation reports the missing bytes instead of writing what is not there."""
        source = looped(40, ".ts" if operation.__name__ == "<lambda>" else ".mp4")
        cut = source.with_suffix(".cut" + source.suffix)
        cut.write_bytes(source.read_bytes())
        read_end, write_end = os.pipe()
        failure: list[BaseException] = []

        def run():
            with open(cut, "rb") as src:
                try:
                    operation(src.fileno(), write_end)
                except BaseException as exc:  # noqa: BLE001 - reported below
                    failure.append(exc)
                finally:
                    os.close(write_end)

        worker = threading.Thread(target=run)
        worker.start()
        with open(read_end, "rb") as out:
            first = out.read(1 << 20)
            os.truncate(cut, os.path.getsize(cut) // 2)
            rest = len(out.read())
        worker.join()
        assert len(first) == 1 << 20 and rest < os.path.getsize(source)
        assert failure and isinstance(failure[0], ValueError), failure
        assert "cut short while it was read" in str(failure[0])

    def test_input_cut_short_during_the_call_leaves_nothing(self, looped, tmp_path):
        cut, out = tmp_path / "cut.mp4", tmp_path / "out.mp4"
        whole = looped(40).read_bytes()
        # The sooner the cut, the likelier it lands inside the call on a fast machine.
        for delay in (0.02, 0.005, 0.001, 0.0):
            cut.write_bytes(whole)
            timer = threading.Timer(delay, os.truncate, (cut, len(whole) // 3))
            timer.start()
            try:
                plexo.defragment_file(cut, out)
            except ValueError as exc:
                timer.join()
                assert str(exc).startswith(f"{cut}: ")
                assert os.listdir(tmp_path) == ["cut.mp4"]
                return
            timer.join()
            out.unlink()
        pytest.fail("every call finished before its input was cut")


# ---- large inputs -------------------------------------------------------------------------

@pytest.fixture(scope="session")
def looped(tmp_path_factory, ffmpeg):
    """looped(megabytes) -> a fragmented MP4 of about that size: a 4-second 720p clip at a high
    bit rate with audio, looped; made once per size."""
    folder = tmp_path_factory.mktemp("looped")
    clip = folder / "clip.mp4"
    fragmented = ["-movflags", "frag_keyframe+empty_moov+default_base_moof", "-f", "mp4"]
    made = run_tool(ffmpeg, "-nostdin", "-v", "error", "-f", "lavfi",
                    "-i", "testsrc2=size=1280x720:rate=30:duration=4", "-f", "lavfi",
                    "-i", "sine=frequency=440:sample_rate=48000:duration=4", "-c:v", "libx264",
                    "-preset", "ultrafast", "-qp", "8", "-g", "30", "-c:a", "aac", "-shortest",
                    *fragmented, str(clip))
    assert made.returncode == 0, made.stderr

    def make(megabytes: int, suffix: str = ".mp4") -> Path:
        """A fragmented MP4, or with ".ts" a transport stream."""
        path = folder / f"looped_{megabytes}{suffix}"
        form = fragmented if suffix == ".mp4" else ["-f", "mpegts"]
        if not path.exists():
            loops = max(0, round(megabytes * 1e6 / clip.stat().st_size) - 1)
            made = run_tool(ffmpeg, "-nostdin", "-v", "error", "-stream_loop", str(loops),
                            "-i", str(clip), "-c", "copy", *form, str(path))
            assert made.returncode == 0, made.stderr
        return path
    return make


def temporary_output_sizes(folder: Path) -> list[int]:
    """The sizes of the outputs being written into `folder` by this process: named
    temporaries, and unnamed ones (O_TMPFILE) found among its open files."""
    sizes = []
    for part in folder.glob(".out.mp4.*"):
        with contextlib.suppress(FileNotFoundError):
            sizes.append(part.stat().st_size)
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/self/fd/{fd}").startswith(f"{folder}/#"):
                sizes.append(os.stat(f"/proc/self/fd/{fd}").st_size)
    return sizes


def split_tracks(ffmpeg, source: Path) -> tuple[Path, Path]:
    """The video and the audio of a looped file as two fragmented files (audio as track 2)."""
    video, audio = source.with_suffix(".video.mp4"), source.with_suffix(".audio.mp4")
    for path, stream in [(video, "0:v"), (audio, "0:a")]:
        if not path.exists():
            made = run_tool(ffmpeg, "-nostdin", "-v", "error", "-i", str(source), "-map", stream,
                            "-c", "copy", "-movflags", "frag_keyframe+empty_moov+default_base_moof",
                            "-f", "mp4", str(path))
            assert made.returncode == 0, made.stderr
    renumbered = run_tool(sys.executable, str(FIXTURES / "renumber_tracks.py"), str(audio), "1=2")
    assert renumbered.returncode == 0, renumbered.stderr
    return video, audio


# The peak memory of one file-to-file call in a fresh interpreter, over what the interpreter
# and module take before it (the high-water mark of this process's own memory: ru_maxrss
# would also count the parent's, which it keeps across fork and exec).
CHILD = r"""
import json, sys
import plexo
def high_water():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) << 10 for line in status if line.startswith("VmHWM:"))
name, paths = sys.argv[1], sys.argv[2:]
before = high_water()
if name == "cli":
    from plexo._cli import main
    assert main(paths) == 0
else:
    getattr(plexo, name)(*paths, **({"diagnostics": False} if name == "convert_file" else {}))
print(json.dumps({"grown": high_water() - before}))
"""
BOUND = 32 << 20  # buffers, tables and the interpreter's own growth; never the media


def peak_growth(name: str, *paths: Path | str) -> int:
    done = subprocess.run([sys.executable, "-c", CHILD, name, *map(str, paths)],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)["grown"]


def judged(ffprobe, path: Path) -> None:
    """ffprobe reads the file and ffmpeg reads every packet, both without a word."""
    for tool in [(ffprobe, "-v", "error", str(path)),
                 ("ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-map", "0", "-c", "copy",
                  "-f", "null", "-")]:
        result = run_tool(*tool)
        assert result.returncode == 0 and not (result.stderr + result.stdout).strip(), result.stderr


def same_as_in_memory(name: str, out: Path, *inputs: Path) -> bool:
    expected = OPERATIONS[name][1](*(p.read_bytes() for p in inputs))
    return out.stat().st_size == len(expected) and out.read_bytes() == expected


SIZES = [60, 240] + ([800] if LARGE else [])


@pytest.mark.memory_bound
class TestLargeInputs:
    @pytest.mark.parametrize("name", ["convert", "defragment", "reset", "mux"])
    def test_memory_stays_flat_and_bytes_match(self, looped, ffmpeg, ffprobe, tmp_path, name):
        grown = []
        for megabytes in SIZES:
            source = looped(megabytes, ".ts" if name == "convert" else ".mp4")
            inputs = split_tracks(ffmpeg, source) if name == "mux" else (source,)
            out = tmp_path / f"out_{megabytes}.mp4"
            grown.append(peak_growth(f"{name}_file" if name != "mux" else "mux_files", *inputs, out))
            if megabytes == SIZES[0]:
                assert same_as_in_memory(name, out, *inputs)
            else:
                judged(ffprobe, out)
            out.unlink()
        assert max(grown) < BOUND, grown

    def test_convert_to_a_pipe_writes_the_same_bytes(self, looped):
        """A file gets each track's media written at its offset, a pipe the tracks one after
        the other."""
        source = looped(60, ".ts")
        read_end, write_end = os.pipe()
        piped: list[bytes] = []
        reader = threading.Thread(target=lambda: piped.append(os.fdopen(read_end, "rb").read()))
        reader.start()
        with open(source, "rb") as src:
            try:
                _plexo._convert_file(src.fileno(), write_end, False, False)
            finally:
                os.close(write_end)
        reader.join()
        assert piped[0] == OPERATIONS["convert"][1](source.read_bytes())

    def test_convert_input_cut_short_while_media_is_gathered(self, looped, tmp_path):
        """The input shrinks once the output holds media: the error names the missing bytes
        and nothing is left behind. A busy machine may let the conversion finish before the
        cut: it is tried again."""
        source = looped(240, ".ts")
        cut, out = tmp_path / "cut.ts", tmp_path / "out.mp4"
        for _ in range(3):
            cut.write_bytes(source.read_bytes())
            finished = threading.Event()

            def cut_once_media_is_written():
                while not finished.is_set():
                    if any(size > 8 << 20 for size in temporary_output_sizes(tmp_path)):
                        os.truncate(cut, os.path.getsize(cut) // 2)
                        return

            watcher = threading.Thread(target=cut_once_media_is_written)
            watcher.start()
            try:
                plexo.convert_file(cut, out, diagnostics=False)
            except ValueError as exc:
                assert str(exc).startswith(f"{cut}: ") and "cut short while it was read" in str(exc)
                assert os.listdir(tmp_path) == ["cut.ts"]
                return
            finally:
                finished.set()
                watcher.join()
            out.unlink()
        pytest.fail("the conversion finished before the input was cut, three times")

    @pytest.mark.parametrize("name", ["convert", "defragment", "reset", "mux"])
    def test_the_command_line_goes_file_to_file(self, looped, ffmpeg, tmp_path, name):
        for megabytes in (SIZES[0], SIZES[-1]):
            source = looped(megabytes, ".ts" if name == "convert" else ".mp4")
            inputs = split_tracks(ffmpeg, source) if name == "mux" else (source,)
            out = tmp_path / f"cli_{megabytes}.mp4"
            grown = peak_growth("cli", name, *inputs, out)
            if megabytes == SIZES[0]:
                assert same_as_in_memory(name, out, *inputs)
            else:
                assert grown < BOUND, grown
            out.unlink()

    @pytest.mark.skipif(not LARGE, reason="reads a 4 GiB sparse file; set PLEXO_LARGE_TESTS=1")
    def test_a_packet_read_again_in_a_file_past_four_gigabytes(self, tmp_path):
        """A stream whose packet is read again after a lost sync, then a hole and a marked
        region 4 GiB on (a sparse file): the bytes come from where the packet lies."""
        head = packet_read_again()
        src, out = tmp_path / "sparse.ts", tmp_path / "out.mp4"
        with open(src, "wb") as stream:
            stream.write(head)
            stream.seek(1 << 32)
            stream.write(b"\xab" * (len(head) + (1 << 16)))
        plexo.convert_file(src, out, diagnostics=False)
        assert out.read_bytes() == _plexo._convert_ts_to_mp4(head, False, False)

    @pytest.mark.skipif(not LARGE, reason="writes and reads 10 GB; set PLEXO_LARGE_TESTS=1")
    def test_past_four_gigabytes(self, looped, ffprobe, tmp_path):
        source = looped(4500)
        out = tmp_path / "flat.mp4"
        assert peak_growth("defragment_file", source, out) < BOUND
        assert same_as_in_memory("defragment", out, source)
        judged(ffprobe, out)
