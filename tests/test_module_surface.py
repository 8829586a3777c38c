"""What Python sees of _plexo: names, signatures, docstrings, argument checks, lock release."""
import inspect
import sys
import threading
import time

import pytest

import _plexo
from builders import mdat, pat, pmt, pes, packetize, segment, traf

FUNCTIONS = {
    "convert_ts_to_mp4": ("(data, reset_timestamps=False)", "MPEG-TS 를 MP4 로 변환한다."),
    "defragment_mp4": ("(data)", "fragmented MP4 를 일반 MP4 로 펼친다."),
    "reset_mp4_timestamps": ("(data)", "MP4 타임스탬프를 0 부터 시작하도록 되돌린다."),
    "convert_mp4_reset_timestamps": ("(data)", "fMP4 면 펼치고, 일반 MP4 면 타임스탬프만 되돌린다."),
    "mux_fmp4_tracks": ("(video, audio)", "따로 전송된 영상 fMP4 와 소리 fMP4 를 트랙 두 개짜리 MP4 로 합친다."),
    "extract_thumbnail_from_ts": ("(data)", "TS 의 첫 키프레임을 뽑는다."),
    "extract_thumbnail_from_mp4": ("(data)", "MP4 의 첫 키프레임을 뽑는다."),
}
SINGLE_INPUT = [name for name, (sig, _) in FUNCTIONS.items() if sig == "(data)"]


class TestNamesAndDocs:
    def test_version(self):
        assert _plexo.__version__ == "0.4.0"

    def test_registration_order(self):
        names = [n for n in vars(_plexo) if not n.startswith("__") or n == "__version__"]
        public = ["__version__", "convert_ts_to_mp4", "defragment_mp4", "reset_mp4_timestamps",
                  "convert_mp4_reset_timestamps", "mux_fmp4_tracks", "extract_thumbnail_from_ts",
                  "extract_thumbnail_from_mp4", "FragmentedMP4Processor"]
        # The package's private helpers (one leading underscore) come after the class.
        assert names[:len(public)] == public
        assert all(n.startswith("_") for n in names[len(public):])

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_signature_and_docstring(self, name):
        func = getattr(_plexo, name)
        signature, text = FUNCTIONS[name]
        assert str(inspect.signature(func)) == signature
        assert func.__doc__ == text
        assert func.__self__ is _plexo or func.__module__ == "_plexo"

    def test_processor_docs(self):
        cls = _plexo.FragmentedMP4Processor
        assert cls.__doc__ == "세그먼트를 이어서 받아 처리하는 fMP4 처리기."
        assert str(inspect.signature(cls)) == "()"
        assert str(inspect.signature(cls.set_init_segment)) == "(self, /, data)"
        assert str(inspect.signature(cls.process_segment)) == "(self, /, data)"
        assert str(inspect.signature(cls.reset)) == "(self, /)"
        assert [m for m in vars(cls) if not m.startswith("__")] == [
            "set_init_segment", "process_segment", "reset", "base_decode_time"]


class TestArguments:
    @pytest.mark.parametrize("name", list(FUNCTIONS))
    @pytest.mark.parametrize("value, shown", [(bytearray(b"x"), "'bytearray' object"),
                                              (memoryview(b"x"), "'memoryview' object"),
                                              ("text", "'str' object"), (None, "'None'")])
    def test_only_bytes_is_accepted(self, name, value, shown):
        args = (value, value) if name == "mux_fmp4_tracks" else (value,)
        with pytest.raises(TypeError) as info:
            getattr(_plexo, name)(*args)
        assert str(info.value) == f"{shown} is not an instance of 'bytes'"
        first = "video" if name == "mux_fmp4_tracks" else "data"
        assert info.value.__notes__ == [f"while processing '{first}'"]

    def test_bytes_subclass_is_accepted(self):
        class Sub(bytes):
            pass
        with pytest.raises(ValueError, match="No valid TS sync byte found"):
            _plexo.convert_ts_to_mp4(Sub(b"abc"))

    def test_audio_argument_is_named_in_the_note(self):
        with pytest.raises(TypeError) as info:
            _plexo.mux_fmp4_tracks(b"", bytearray())
        assert info.value.__notes__ == ["while processing 'audio'"]

    @pytest.mark.parametrize("value, shown", [(1, "'int' object"), (None, "'None'"), ("yes", "'str' object")])
    def test_reset_timestamps_must_be_bool(self, value, shown):
        with pytest.raises(TypeError) as info:
            _plexo.convert_ts_to_mp4(b"", value)
        assert str(info.value) == f"{shown} is not an instance of 'bool'"
        assert info.value.__notes__ == ["while processing 'reset_timestamps'"]

    def test_numpy_bool_is_accepted(self):
        numpy = pytest.importorskip("numpy")
        with pytest.raises(ValueError, match="No valid TS sync byte found"):
            _plexo.convert_ts_to_mp4(b"", numpy.bool_(True))

    def test_numpy_like_bool_without_conversion(self):
        fake = type("bool_", (), {"__module__": "numpy"})
        with pytest.raises(TypeError, match="object of type 'bool_' does not define a '__bool__' conversion"):
            _plexo.convert_ts_to_mp4(b"", fake())

    def test_numpy_like_bool_whose_conversion_is_not_bool(self):
        fake = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 1})
        with pytest.raises(TypeError):
            _plexo.convert_ts_to_mp4(b"", fake())

    def test_keywords(self):
        for call in (lambda: _plexo.convert_ts_to_mp4(data=b"", reset_timestamps=True),
                     lambda: _plexo.convert_ts_to_mp4(b"", reset_timestamps=False),
                     lambda: _plexo.convert_ts_to_mp4(b"", True)):
            with pytest.raises(ValueError, match="No valid TS sync byte found"):
                call()

    @pytest.mark.parametrize("call", [
        lambda: _plexo.convert_ts_to_mp4(),
        lambda: _plexo.convert_ts_to_mp4(b"", False, 3),
        lambda: _plexo.convert_ts_to_mp4(b"", flag=True),
        lambda: _plexo.convert_ts_to_mp4(b"", data=b""),
        lambda: _plexo.mux_fmp4_tracks(video=b""),
        lambda: _plexo.defragment_mp4(),
        lambda: _plexo.FragmentedMP4Processor(1),
        lambda: _plexo.FragmentedMP4Processor(x=1),
        lambda: _plexo.FragmentedMP4Processor().set_init_segment(),
    ])
    def test_arity_errors(self, call):
        with pytest.raises(TypeError):
            call()

    @pytest.mark.parametrize("name", SINGLE_INPUT)
    def test_data_keyword(self, name):
        with pytest.raises(ValueError):  # the operation was reached: it refuses empty data
            getattr(_plexo, name)(data=b"")

    def test_operation_errors_are_value_errors(self):
        with pytest.raises(ValueError) as info:
            _plexo.convert_ts_to_mp4(b"")
        assert info.value.args == ("No valid TS sync byte found",)


class TestProcessorObject:
    def test_fresh_state(self):
        processor = _plexo.FragmentedMP4Processor()
        assert processor.base_decode_time is None
        assert processor.reset() is None
        assert processor.set_init_segment(b"\x00" * 16) is None
        assert processor.base_decode_time is None

    def test_property_is_read_only(self):
        with pytest.raises(AttributeError):
            _plexo.FragmentedMP4Processor().base_decode_time = 5

    def test_objects_are_independent_and_collected(self):
        kind = _plexo.FragmentedMP4Processor
        before = sys.getrefcount(kind)
        processors = [kind() for _ in range(1000)]
        processors[0].process_segment(segment(traf(1, 9000)))
        assert processors[0].base_decode_time == 9000
        assert all(p.base_decode_time is None for p in processors[1:])
        assert sys.getrefcount(kind) - before == 1000  # each object holds its type
        del processors
        assert sys.getrefcount(kind) == before  # and lets it go when collected


def long_transport_stream():
    # A large stream of video packets keeps the demultiplexer busy well past a switch interval.
    video = pes(b"\x00\x00\x00\x01\x09\xf0" + b"\x11" * 170_000, pts=0)
    return pat() + pmt([(0x1B, 256), (0x0F, 257)]) + b"".join(packetize(256, video)) * 300


def long_transport_stream_call(folder):
    stream = long_transport_stream()
    return lambda: _plexo.convert_ts_to_mp4(stream)


def long_file_conversion_call(folder):
    # The same stream from file to file: reading, demultiplexing and writing.
    (folder / "in.ts").write_bytes(long_transport_stream())

    def call():
        with open(folder / "in.ts", "rb") as src, open(folder / "out.mp4", "wb") as dst:
            _plexo._convert_file(src.fileno(), dst.fileno(), False, False)
    return call


def long_segmenter_call(folder):
    stream = long_transport_stream()
    return lambda: _plexo._TsSegmenter(2.0).push(stream)


def long_segment_call(folder):
    # A segment whose copy takes well past a switch interval.
    data = segment(traf(1, 9_000)) + mdat(bytes(96 << 20))
    return lambda: _plexo.FragmentedMP4Processor().process_segment(data)


@pytest.mark.parametrize("make_call", [long_transport_stream_call, long_file_conversion_call,
                                       long_segmenter_call, long_segment_call])
def test_media_work_runs_without_the_interpreter_lock(make_call, tmp_path):
    # The main thread must keep running while the media work goes on.
    call = make_call(tmp_path)

    def longest_gap_and_elapsed():
        done = threading.Event()
        elapsed = []

        def work():
            start = time.perf_counter()
            try:
                call()
            except ValueError:
                pass
            elapsed.append(time.perf_counter() - start)
            done.set()

        worker = threading.Thread(target=work)
        last, longest_gap = time.perf_counter(), 0.0
        worker.start()
        while not done.is_set():
            now = time.perf_counter()
            longest_gap = max(longest_gap, now - last)
            last = now
        worker.join()
        assert elapsed[0] > 0.005, "input too small to show anything"
        return longest_gap, elapsed[0]

    # A held lock stalls the main thread in every attempt; a busy machine in one at most.
    for _ in range(3):
        gap, elapsed = longest_gap_and_elapsed()
        if gap < elapsed / 2:
            break
    else:
        pytest.fail(f"the main thread stalled {gap:.3f} s of a {elapsed:.3f} s call")
