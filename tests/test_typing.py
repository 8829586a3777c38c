"""The package's types catch the common mistakes under ``mypy --strict``: a path where bytes
belong, a misspelt track kind, a track without the keys every track has. Skipped without mypy (the package step
of CI installs it and runs this file)."""
import subprocess
import sys
import textwrap

import pytest

import plexo

pytest.importorskip("mypy")


def mypy(tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", str(tmp_path / "cache"), str(script)],
                            capture_output=True, text=True, check=False)
    return result.returncode, result.stdout


def test_correct_use_passes(tmp_path):
    status, out = mypy(tmp_path, """
        import mmap
        import pathlib
        import plexo

        def run(data: bytes, view: memoryview, held: mmap.mmap, src: plexo.Source) -> None:
            plexo.convert_ts_to_mp4(data)
            plexo.convert_ts_to_mp4(bytearray(data))
            plexo.defragment_mp4(view)
            plexo.probe(held)
            plexo.convert_file(src, pathlib.Path("out.mp4"))
            for track in plexo.probe(data)["tracks"]:
                seconds: float = track["duration"]
                if track["kind"] == "video":
                    print(track["id"], track["codec"], track.get("width"), seconds)
            for record in plexo.convert_many(["a.ts"], "out", jobs=2):
                if not record["ok"]:
                    print(record["source"], record["error"])
    """)
    assert status == 0, out


@pytest.mark.parametrize("line, error", [
    ('plexo.convert_ts_to_mp4("in.ts")', "arg-type"),
    ('plexo.mux_fmp4_tracks(b"", None)', "arg-type"),
    ('plexo.probe(b"")["tracks"][0]["kind"] == "vidoe"', "comparison-overlap"),
    ('track: plexo.TrackInfo = {"id": 1, "width": 320}', "typeddict-item"),  # keys lacking
])
def test_a_mistake_fails(tmp_path, line, error):
    status, out = mypy(tmp_path, f"""
        import plexo

        {line}
    """)
    assert status == 1 and f"[{error}]" in out, out


def test_source_is_exported():
    assert "Source" in plexo.__all__ and plexo.Source is plexo._files.Source
