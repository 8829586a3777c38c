"""The plexo package's per-call choice of where the transport-stream diagnostic lines go."""
import io
import logging
import threading

import pytest

import _plexo
import plexo

LINES = ["Found PIDs - Video: 256, Audio: 257\n", "Total audio frames collected: 95\n",
         "Total video frames collected: 50\n",
         "Audio PTS range: 131280 - 294480 (1.46 - 3.27 sec)\n",
         "Video PTS range: 133200 - 309600 (1.48 - 3.44 sec)\n"]
CALLS = {
    "convert": lambda data, where: plexo.convert_ts_to_mp4(data, diagnostics=where),
    "thumbnail": lambda data, where: plexo.extract_thumbnail_from_ts(data, diagnostics=where),
}


@pytest.fixture(scope="module")
def ts(fixture_bytes):
    return fixture_bytes("ts_bframes.ts")


@pytest.mark.parametrize("call", CALLS)
class TestWhereTheLinesGo:
    def test_true_writes_to_standard_output(self, capfd, ts, call):
        capfd.readouterr()
        CALLS[call](ts, True)
        assert capfd.readouterr().out == "".join(LINES)

    def test_default_is_the_plexo_logger_at_debug(self, capfd, caplog, ts, call):
        capfd.readouterr()
        with caplog.at_level(logging.DEBUG, logger="plexo"):
            CALLS[call](ts, None)
        assert capfd.readouterr() == ("", "")
        assert [(r.name, r.levelno, r.getMessage() + "\n") for r in caplog.records] == \
            [("plexo", logging.DEBUG, line) for line in LINES]
        caplog.clear()
        CALLS[call](ts, None)  # logger left at its default level: nothing anywhere
        assert capfd.readouterr() == ("", "") and not caplog.records

    def test_false_writes_nothing_and_gives_the_same_result(self, capfd, ts, call):
        capfd.readouterr()
        quiet = CALLS[call](ts, False)
        assert capfd.readouterr().out == ""
        assert quiet == CALLS[call](ts, True)

    def test_a_stream_receives_whole_lines(self, capfd, ts, call):
        capfd.readouterr()
        sink = io.StringIO()
        CALLS[call](ts, sink)
        assert capfd.readouterr().out == ""
        assert sink.getvalue() == "".join(LINES)

    def test_the_lines_arrive_when_the_call_fails(self, capfd, call):
        sink = io.StringIO()
        capfd.readouterr()
        with pytest.raises(ValueError, match="^No video data found$"):
            CALLS[call](b"\x47" + bytes(400), sink)
        assert sink.getvalue() == "Total audio frames collected: 0\nTotal video frames collected: 0\n"
        assert capfd.readouterr().out == ""

    @pytest.mark.parametrize("where", [1, "stderr", object()])
    def test_other_values_are_refused(self, ts, call, where):
        with pytest.raises(TypeError, match="diagnostics must be"):
            CALLS[call](ts, where)


def test_each_call_keeps_its_own_lines_under_threads(capfd, ts):
    """Loud, silent and collecting calls at once: the process's standard output carries exactly
    the loud calls' lines and every stream exactly its own call's."""
    capfd.readouterr()
    sinks = [io.StringIO() for _ in range(6)]
    results = {}

    def work(index):
        where = [True, False, sinks[index // 3]][index % 3]
        results[index] = plexo.convert_ts_to_mp4(ts, diagnostics=where)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(18)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    loud = capfd.readouterr().out.splitlines(keepends=True)
    assert sorted(loud) == sorted(LINES * 6)
    assert all(sink.getvalue() == "".join(LINES) for sink in sinks)
    assert len(set(results.values())) == 1


def test_private_helpers_collect_into_a_list(ts):
    lines: list = []
    assert _plexo._convert_ts_to_mp4(ts, False, lines) == _plexo._convert_ts_to_mp4(ts, True, False)
    assert lines == LINES
    with pytest.raises(TypeError):
        _plexo._extract_thumbnail_from_ts(ts, ())
