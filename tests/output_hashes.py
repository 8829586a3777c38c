"""Every output of every operation on the committed fixtures, as one line each: the operation,
the input, and the SHA-256 of the result (or the message it was refused with).

    python tests/output_hashes.py > before.txt      # with one build installed
    python tests/output_hashes.py > after.txt       # with another
    diff before.txt after.txt

A change meant only to move code shows no difference; a mend shows exactly the outputs it
changes. The transport streams go through both conversions (fragmented at 2 s and 0.5 s), the
live segmenter (whole and in 1,316-byte pushes) and the thumbnail; the MP4 files through the
defragmentation, both resets and the thumbnail; the fragmented video and audio files through
the muxer in every pairing; everything through the probe.
"""
from __future__ import annotations

import hashlib
import json
import pathlib
import sys

import _plexo

FIXTURES = pathlib.Path(__file__).parent / "fixtures"


def digest(call, *args) -> str:
    try:
        result = call(*args)
    except ValueError as error:
        return f"refused: {error}"
    if isinstance(result, (bytes, bytearray)):
        return hashlib.sha256(result).hexdigest()
    return hashlib.sha256(json.dumps(result, sort_keys=True, default=str).encode()).hexdigest()


def segmented(data: bytes, push: int | None) -> bytes:
    segmenter, pieces = _plexo._TsSegmenter(2.0), []
    step = push or max(len(data), 1)
    for at in range(0, len(data), step):
        pieces += segmenter.push(data[at:at + step])
    pieces += segmenter.flush()
    return (segmenter.init or b"") + b"".join(pieces)


def transport_stream_outputs(data: bytes):
    yield "convert_ts_to_mp4", lambda: _plexo._convert_ts_to_mp4(data, False, False)
    yield "convert_ts_to_fmp4(2.0)", lambda: _plexo._convert_ts_to_fmp4(data, 2.0, False)
    yield "convert_ts_to_fmp4(0.5)", lambda: _plexo._convert_ts_to_fmp4(data, 0.5, False)
    yield "segmenter(whole)", lambda: segmented(data, None)
    yield "segmenter(1316)", lambda: segmented(data, 1316)
    yield "extract_thumbnail_from_ts", lambda: _plexo._extract_thumbnail_from_ts(data, False)
    yield "probe", lambda: _plexo._probe(data)


def mp4_outputs(data: bytes):
    yield "defragment_mp4", lambda: _plexo.defragment_mp4(data)
    yield "reset_mp4_timestamps", lambda: _plexo.reset_mp4_timestamps(data)
    yield "convert_mp4_reset_timestamps", lambda: _plexo.convert_mp4_reset_timestamps(data)
    yield "extract_thumbnail_from_mp4", lambda: _plexo.extract_thumbnail_from_mp4(data)
    yield "probe", lambda: _plexo._probe(data)


def main() -> None:
    files = sorted(p for p in FIXTURES.rglob("*") if p.suffix in (".ts", ".m2ts", ".mp4", ".m4s"))
    for path in files:
        data = path.read_bytes()
        name = str(path.relative_to(FIXTURES))
        outputs = transport_stream_outputs if path.suffix in (".ts", ".m2ts") else mp4_outputs
        for operation, call in outputs(data):
            print(operation, name, digest(call))
    fragmented = [p for p in files if p.name.startswith(("frag_", "mux_"))]
    for video in fragmented:
        for audio in fragmented:
            print("mux_fmp4_tracks", video.name, audio.name,
                  digest(_plexo.mux_fmp4_tracks, video.read_bytes(), audio.read_bytes()))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
