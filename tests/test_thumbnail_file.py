"""plexo.thumbnail_file and plexo thumbnail read a transport stream only as far as its first
key frame needs, and give the picture the whole stream gives."""
import io
import os

import pytest

import _plexo
import plexo
from plexo._cli import main
from conftest import FIXTURES
from test_files_bounded import BOUND, peak_growth

STREAMS = ["ts_bframes.ts", "ts_hevc_bframes.ts", "ts_multislice.ts", "ts_1080p.ts",
           "ts_no_aud.ts", "ts_192.m2ts", "ts_dropped_frames.ts", "ts_interlaced.ts"]
NULL_PACKET = b"\x47\x1f\xff\x10" + b"\xff" * 184


def late_key_frame(name):
    """The stream behind null packets that end just before 1 MiB, and before 4 MiB of them:
    its first key frame straddles the first prefix read, and the file is longer than the
    prefixes that find it."""
    return (NULL_PACKET * ((1 << 20) // 188 - 20) + (FIXTURES / name).read_bytes()
            + NULL_PACKET * 22_400)


@pytest.mark.parametrize("name", STREAMS)
@pytest.mark.parametrize("late", [False, True])
def test_the_whole_streams_picture(tmp_path, name, late):
    data = late_key_frame(name) if late else (FIXTURES / name).read_bytes()
    if late and name.endswith(".m2ts"):
        pytest.skip("null packets of 188 bytes do not belong in a 192-byte stream")
    source = tmp_path / "in.ts"
    source.write_bytes(data)
    expected = _plexo.extract_thumbnail_from_ts(data)
    lines = io.StringIO()
    plexo.thumbnail_file(source, tmp_path / "key.h264", diagnostics=lines)
    assert (tmp_path / "key.h264").read_bytes() == expected
    assert lines.getvalue().startswith("Found PIDs - Video: ")
    assert main(["thumbnail", str(source), str(tmp_path / "cli.h264")]) == 0
    assert (tmp_path / "cli.h264").read_bytes() == expected


def test_a_stream_without_a_key_frame_is_refused_as_whole(tmp_path):
    data = (FIXTURES / "ts_cut_1000.ts").read_bytes()
    source = tmp_path / "cut.ts"
    source.write_bytes(data)
    with pytest.raises(ValueError) as whole:
        plexo.extract_thumbnail_from_ts(data)
    with pytest.raises(ValueError) as from_file:
        plexo.thumbnail_file(source, tmp_path / "key.h264")
    assert str(from_file.value) == f"{source}: {whole.value}"
    assert not (tmp_path / "key.h264").exists()


@pytest.mark.memory_bound
def test_a_large_stream_is_read_only_to_its_key_frame(tmp_path):
    source = tmp_path / "long.ts"
    source.write_bytes((FIXTURES / "ts_bframes.ts").read_bytes())
    with open(source, "ab") as file:  # three sparse GiB that no thumbnail needs
        file.truncate(os.path.getsize(source) + (3 << 30))
    assert peak_growth("thumbnail_file", source, tmp_path / "key.h264") < BOUND
    assert peak_growth("cli", "thumbnail", "-q", source, tmp_path / "cli.h264") < BOUND
    expected = _plexo.extract_thumbnail_from_ts((FIXTURES / "ts_bframes.ts").read_bytes())
    assert (tmp_path / "key.h264").read_bytes() == (tmp_path / "cli.h264").read_bytes() == expected
    if pytest.importorskip("av"):
        assert peak_growth("cli", "thumbnail", "-q", "--width", "160", source,
                           tmp_path / "small.png") < BOUND
        assert (tmp_path / "small.png").read_bytes().startswith(b"\x89PNG")
