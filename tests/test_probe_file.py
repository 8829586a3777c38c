"""plexo.probe_file: what plexo.probe says of a file's bytes, an MP4 read by seeking so that
memory follows its tables, never its size."""
import struct

import pytest

import _plexo
import plexo
from plexo._cli import main
from conftest import FIXTURES
from test_files_bounded import BOUND, peak_growth

MP4S = ["prog_faststart.mp4", "prog_moov_last.mp4", "prog_hevc.mp4", "frag_gstreamer.mp4",
        "frag_every_frame.mp4", "frag_audio_late.mp4", "frag_hevc_hvc1.mp4", "mux_audio_late.mp4"]


def grown(path, gigabytes):
    """The file at ``path`` followed by a sparse ``free`` box of that many GiB: the same media,
    a size no probe may read."""
    size = gigabytes << 30
    with open(path, "ab") as file:
        file.write(struct.pack(">I4sQ", 1, b"free", size))
        file.truncate(file.tell() + size - 16)
    return path


@pytest.mark.parametrize("name", MP4S + ["ts_bframes.ts"])
def test_the_same_answer_as_probe(tmp_path, name):
    data = (FIXTURES / name).read_bytes()
    path = tmp_path / name
    path.write_bytes(data)
    assert plexo.probe_file(path) == plexo.probe(data)
    if name.endswith(".mp4"):  # a transport stream is read whole
        grown(path, 1)
        assert plexo.probe_file(path) == plexo.probe(data)


@pytest.mark.parametrize("cut", [0, 7, 8, 40, 300, 1000, 5000, -900, -8])
@pytest.mark.parametrize("name", ["prog_faststart.mp4", "frag_gstreamer.mp4"])
def test_the_same_refusals_as_probe(tmp_path, name, cut):
    data = (FIXTURES / name).read_bytes()
    data = data[:cut] + (b"\xff" * 16 if cut % 2 else b"") + data[cut + 16:] if cut else b""
    path = tmp_path / "damaged.mp4"
    path.write_bytes(data)
    try:
        expected = plexo.probe(data)
    except ValueError as exc:
        with pytest.raises(ValueError) as raised:
            plexo.probe_file(path)
        assert str(raised.value) == f"{path}: {exc}"
    else:
        assert plexo.probe_file(path) == expected


def test_files_that_are_not_media_are_named(tmp_path):
    path = tmp_path / "picture.mp4"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(100))
    with pytest.raises(ValueError, match="a PNG image, not an MP4 or a transport stream"):
        plexo.probe_file(path)
    with pytest.raises(FileNotFoundError):
        plexo.probe_file(tmp_path / "absent.mp4")


@pytest.mark.memory_bound
@pytest.mark.parametrize("name", ["prog_faststart.mp4", "frag_every_frame.mp4"])
def test_a_large_mp4_is_probed_in_bounded_memory(tmp_path, capsys, monkeypatch, name):
    path = tmp_path / name
    path.write_bytes((FIXTURES / name).read_bytes())
    grown(path, 3)
    assert peak_growth("probe_file", path) < BOUND
    # The command line takes the same way: the probe of bytes in memory is never asked for.
    monkeypatch.setattr(_plexo, "_probe", None)
    assert main(["probe", str(path)]) == 0
    assert capsys.readouterr().out.startswith(f"{path}: mp4, ")


def test_the_extension_refuses_a_transport_stream_as_not_an_mp4(tmp_path):
    path = tmp_path / "in.ts"
    path.write_bytes((FIXTURES / "ts_bframes.ts").read_bytes())
    with open(path, "rb") as file, pytest.raises(ValueError, match="Not an MP4"):
        _plexo._probe_file(file.fileno())
