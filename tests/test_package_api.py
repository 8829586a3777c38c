"""The plexo package over the extension: same results, files, container detection, processor."""
import io
import mmap

import pytest

import _plexo
import plexo
from conftest import FIXTURES


class TestSameResultsAsTheExtension:
    @pytest.mark.parametrize("name, fixture", [
        ("convert_ts_to_mp4", "ts_bframes.ts"),
        ("extract_thumbnail_from_ts", "ts_multislice.ts"),
        ("extract_thumbnail_from_mp4", "prog_faststart.mp4"),
        ("defragment_mp4", "frag_gstreamer.mp4"),
    ])
    def test_bytes_are_identical(self, fixture_bytes, name, fixture):
        data = fixture_bytes(fixture)
        assert getattr(plexo, name)(data) == getattr(_plexo, name)(data)

    @pytest.mark.parametrize("name", ["defragment_mp4", "reset_mp4_timestamps",
                                      "convert_mp4_reset_timestamps", "extract_thumbnail_from_mp4",
                                      "extract_thumbnail_from_ts", "convert_ts_to_mp4"])
    def test_errors_are_the_extensions(self, name):
        with pytest.raises(Exception) as ours:
            getattr(plexo, name)(b"")
        with pytest.raises(Exception) as theirs:
            getattr(_plexo, name)(b"")
        assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))

    def test_wrong_types_are_refused_as_by_the_extension(self):
        with pytest.raises(TypeError, match="'str' object is not an instance of 'bytes'"):
            plexo.defragment_mp4("abc")
        with pytest.raises(TypeError, match="'int' object is not an instance of 'bool'"):
            plexo.convert_ts_to_mp4(b"", 1)

    @pytest.mark.parametrize("wrap", [bytearray, memoryview, "mmap", "numpy", "strided"])
    def test_any_bytes_like_input_gives_the_same_result(self, fixture_bytes, tmp_path, wrap):
        data = fixture_bytes("frag_gstreamer.mp4")
        if wrap == "mmap":
            (tmp_path / "f.mp4").write_bytes(data)
            with open(tmp_path / "f.mp4", "rb") as f:
                held = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        elif wrap in ("numpy", "strided"):
            np = pytest.importorskip("numpy")
            held = np.frombuffer(data, dtype=np.uint8)
            if wrap == "strided":  # not contiguous: copied in order all the same
                held = np.repeat(held, 2)[::2]
        else:
            held = wrap(data)
        assert plexo.defragment_mp4(held) == _plexo.defragment_mp4(data)
        assert plexo.probe(held) == plexo.probe(data)

    def test_documentation_is_english(self):
        for name in plexo.__all__:
            doc = getattr(plexo, name).__doc__ or ""
            assert not any("\uac00" <= ch <= "\ud7a3" for ch in doc), name
        assert plexo.__version__ == _plexo.__version__


class TestContainerDetection:
    @pytest.mark.parametrize("fixture, mp4", [("ts_bframes.ts", False), ("ts_192.m2ts", False),
                                              ("prog_faststart.mp4", True), ("prog_moov_last.mp4", True),
                                              ("frag_gstreamer.mp4", True)])
    def test_is_mp4(self, fixture_bytes, fixture, mp4):
        assert plexo.is_mp4(fixture_bytes(fixture)) is mp4

    @pytest.mark.parametrize("fixture, extract", [
        ("ts_bframes.ts", _plexo.extract_thumbnail_from_ts),
        ("frag_gstreamer.mp4", _plexo.extract_thumbnail_from_mp4)])
    def test_extract_thumbnail_picks_the_reader(self, fixture_bytes, fixture, extract):
        data = fixture_bytes(fixture)
        assert plexo.extract_thumbnail(data, diagnostics=False) == extract(data)


class TestFiles:
    def test_convert_file_writes_the_conversion(self, tmp_path, fixture_bytes):
        src = tmp_path / "in.ts"
        src.write_bytes(fixture_bytes("ts_bframes.ts"))
        written = plexo.convert_file(src, tmp_path / "out.mp4", diagnostics=False)
        out = (tmp_path / "out.mp4").read_bytes()
        assert written == len(out) and out == _plexo.convert_ts_to_mp4(src.read_bytes())

    def test_defragment_and_thumbnail_files(self, tmp_path, fixture_bytes):
        src = tmp_path / "in.mp4"
        src.write_bytes(fixture_bytes("frag_gstreamer.mp4"))
        plexo.defragment_file(str(src), str(tmp_path / "flat.mp4"))
        plexo.thumbnail_file(src, tmp_path / "key.h264")
        assert (tmp_path / "flat.mp4").read_bytes() == _plexo.defragment_mp4(src.read_bytes())
        assert (tmp_path / "key.h264").read_bytes() == _plexo.extract_thumbnail_from_mp4(src.read_bytes())

    @pytest.mark.parametrize("operation, message", [
        (plexo.convert_file, "not a transport stream (No valid TS sync byte found)"),
        (plexo.thumbnail_file, "No valid TS sync byte found")])
    def test_a_failed_operation_names_its_input_and_writes_nothing(self, tmp_path, operation,
                                                                   message):
        (tmp_path / "bad.ts").write_bytes(b"no transport stream here")
        with pytest.raises(ValueError) as raised:
            operation(tmp_path / "bad.ts", tmp_path / "out.mp4")
        assert str(raised.value) == f"{tmp_path / 'bad.ts'}: {message}"
        assert not (tmp_path / "out.mp4").exists()

    def test_binary_file_objects_and_playlists_go_where_paths_go(self, tmp_path, fixture_bytes):
        ts = fixture_bytes("ts_bframes.ts")
        sink = io.BytesIO()
        assert plexo.convert_file(io.BytesIO(ts), sink) == len(sink.getvalue())
        assert sink.getvalue() == _plexo._convert_ts_to_mp4(ts, False, False)
        with open(tmp_path / "flat.mp4", "wb") as out:
            plexo.defragment_file(FIXTURES / "ladder" / "video" / "index.m3u8", out)
        assert (tmp_path / "flat.mp4").read_bytes() == _plexo.defragment_mp4(
            plexo.read_playlist(FIXTURES / "ladder" / "video" / "index.m3u8"))
        with pytest.raises(TypeError, match="not a binary file object"):
            plexo.convert_file(io.StringIO("text"), sink)

    def test_an_output_that_is_its_input_is_refused(self, tmp_path, fixture_bytes):
        (tmp_path / "in.mp4").write_bytes(fixture_bytes("frag_gstreamer.mp4"))
        (tmp_path / "link.mp4").symlink_to(tmp_path / "in.mp4")
        with pytest.raises(ValueError, match="would overwrite the input"):
            plexo.reset_file(tmp_path / "in.mp4", tmp_path / "link.mp4")
        assert (tmp_path / "in.mp4").read_bytes() == fixture_bytes("frag_gstreamer.mp4")

    def test_a_missing_input_raises_file_not_found(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            plexo.defragment_file(tmp_path / "absent.mp4", tmp_path / "out.mp4")


class TestProcessor:
    def test_wraps_the_extensions_processor(self, fixture_bytes):
        ours, theirs = plexo.FragmentedMP4Processor(), _plexo.FragmentedMP4Processor()
        assert ours.base_decode_time is None
        segment = fixture_bytes("frag_gstreamer.mp4")
        assert ours.set_init_segment(segment) is None
        assert ours.process_segment(segment) == theirs.process_segment(segment)
        assert ours.base_decode_time == theirs.base_decode_time
        ours.reset()
        assert ours.base_decode_time is None
        with pytest.raises(AttributeError):
            ours.base_decode_time = 5  # type: ignore[misc]
