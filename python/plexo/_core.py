"""The extension's operations with English documentation, type hints and a per-call choice of
where the transport-stream diagnostic lines go."""
from __future__ import annotations

from typing import List, Optional, Protocol, TypedDict, Union

import _plexo


class TextSink(Protocol):
    """Anything with a ``write(str)`` method: ``sys.stderr``, an ``io.StringIO``, a log adapter."""

    def write(self, text: str, /) -> object: ...


#: ``True`` writes the diagnostic lines to the process's standard output (file descriptor 1,
#: the extension's own behaviour), ``False`` drops them, a text sink receives each line with
#: its newline once the call has finished.
Diagnostics = Union[bool, TextSink]


def _sink_argument(diagnostics: Diagnostics) -> Union[bool, List[str]]:
    if isinstance(diagnostics, bool):
        return diagnostics
    if callable(getattr(diagnostics, "write", None)):
        return []
    raise TypeError(
        "diagnostics must be True, False or a text stream with a write() method, "
        f"not {type(diagnostics).__name__!r}")


def _deliver(lines: Union[bool, List[str]], diagnostics: Diagnostics) -> None:
    if isinstance(lines, list) and lines:
        write = diagnostics.write  # type: ignore[union-attr]
        for line in lines:
            write(line)


def convert_ts_to_mp4(data: bytes, reset_timestamps: bool = False, *,
                      diagnostics: Diagnostics = True) -> bytes:
    """Convert an MPEG transport stream (H.264 or HEVC video and ADTS AAC audio) into a
    progressive MP4.

    The result holds ``ftyp``, ``moov`` and ``mdat``; packets are copied, never re-encoded.
    ``reset_timestamps`` is accepted for compatibility: every time in the file is already
    relative to its first sample. ``diagnostics`` chooses where the demultiplexer's lines (the
    PIDs found, frame totals, PTS ranges) go: ``True`` to standard output, ``False`` nowhere,
    or a text stream such as ``sys.stderr``; the choice applies to this call only.

    Raises ``TypeError`` when ``data`` is not ``bytes``; ``ValueError`` for unusable input,
    e.g. ``"No valid TS sync byte found"``, ``"No video data found"`` or ``"No H.264
    parameter sets found"`` (pictures without a readable SPS and PPS before them).
    """
    if diagnostics is True:
        return _plexo.convert_ts_to_mp4(data, reset_timestamps)
    lines = _sink_argument(diagnostics)
    try:
        return _plexo._convert_ts_to_mp4(data, reset_timestamps, lines)
    finally:
        _deliver(lines, diagnostics)


def extract_thumbnail_from_ts(data: bytes, *, diagnostics: Diagnostics = True) -> bytes:
    """The first key picture of a transport stream (H.264: IDR; HEVC: random access) as an
    Annex B H.264 or HEVC stream.

    The first such picture after readable parameter sets (H.264: SPS and PPS; HEVC: VPS, SPS
    and PPS) is taken; those come first, then every slice of that picture, so the result
    decodes on its own (``plexo.thumbnail_image`` turns it into a PNG or JPEG).
    ``diagnostics`` as for :func:`convert_ts_to_mp4`.

    Raises ``ValueError``: ``"No valid TS sync byte found"``, ``"No video data found"``,
    ``"No I-frame found in video stream"``, ``"No H.264 parameter sets found"``,
    ``"No HEVC parameter sets found"``.
    """
    if diagnostics is True:
        return _plexo.extract_thumbnail_from_ts(data)
    lines = _sink_argument(diagnostics)
    try:
        return _plexo._extract_thumbnail_from_ts(data, lines)
    finally:
        _deliver(lines, diagnostics)


def extract_thumbnail_from_mp4(data: bytes) -> bytes:
    """The first key frame of the first H.264 or HEVC track of an MP4 (progressive or
    fragmented) as an Annex B stream, behind the track's parameter sets from ``avcC`` or
    ``hvcC``.

    Raises ``ValueError`` when the file has no such track (a video track of another codec is
    named: ``"Unsupported video track: ..."``) or no key frame.
    """
    return _plexo.extract_thumbnail_from_mp4(data)


def defragment_mp4(data: bytes) -> bytes:
    """Flatten a fragmented MP4 (``moov`` plus ``moof``/``mdat`` fragments) into a progressive
    MP4 with complete sample tables; sample bytes and times are kept exactly.

    Raises ``ValueError``, e.g. ``"Not a fragmented MP4"`` for a file without fragments.
    """
    return _plexo.defragment_mp4(data)


def mux_fmp4_tracks(video: bytes, audio: bytes) -> bytes:
    """Join a video fragmented MP4 and an audio fragmented MP4, delivered separately, into one
    progressive MP4 holding the tracks of both.

    Raises ``ValueError`` for unusable input.
    """
    return _plexo.mux_fmp4_tracks(video, audio)


def reset_mp4_timestamps(data: bytes) -> bytes:
    """Rewrite a fragmented MP4 so that every track's decode timeline starts at zero; the
    result is still fragmented.

    Raises ``ValueError`` for unusable input.
    """
    return _plexo.reset_mp4_timestamps(data)


def convert_mp4_reset_timestamps(data: bytes) -> bytes:
    """:func:`defragment_mp4` when ``data`` is fragmented, otherwise
    :func:`reset_mp4_timestamps`.

    Raises ``ValueError`` for unusable input.
    """
    return _plexo.convert_mp4_reset_timestamps(data)


def is_mp4(data: bytes) -> bool:
    """Whether ``data`` opens like an ISO BMFF (MP4) file rather than a transport stream."""
    return _plexo._container(bytes(data)) == "mp4"


def extract_thumbnail(data: bytes, *, diagnostics: Diagnostics = True) -> bytes:
    """The first key frame of a transport stream or an MP4, whichever ``data`` is, as Annex B
    H.264 or HEVC (see :func:`extract_thumbnail_from_ts` and :func:`extract_thumbnail_from_mp4`)."""
    if is_mp4(data):
        return extract_thumbnail_from_mp4(data)
    return extract_thumbnail_from_ts(data, diagnostics=diagnostics)


class TrackInfo(TypedDict, total=False):
    id: int
    kind: str  # "video", "audio" or "other"
    codec: str  # sample entry type, e.g. "avc1", "hvc1", "mp4a"
    profile: str  # H.264 or HEVC video, e.g. "High", "Main 10"
    timescale: int
    duration: float  # seconds
    samples: int
    key_frames: int
    width: int
    height: int
    sample_rate: int
    channels: int


class ProbeResult(TypedDict):
    format: str  # "mp4" or "ts"
    duration: float  # seconds
    tracks: List[TrackInfo]


def probe(data: bytes) -> ProbeResult:
    """What a file holds: its format, duration and tracks (codec, timescale, duration, sample
    and key-frame counts, picture size and H.264/HEVC profile or audio rate and channels).

    Raises ``ValueError`` for unusable input.
    """
    result: ProbeResult = _plexo._probe(data)
    return result


class FragmentedMP4Processor:
    """Rebases live fragmented-MP4 segments so that decode times start from zero.

    Give it the initialisation segment (``ftyp`` + ``moov``) once, then each media segment in
    order (the initialisation segment is optional and only kept); every returned segment has
    its ``tfdt`` decode times reduced by one base per track, taken from the first ``tfdt`` of
    that track. Times never go below zero. Calls on one processor hold the interpreter lock.
    """

    __slots__ = ("_processor",)

    def __init__(self) -> None:
        self._processor = _plexo.FragmentedMP4Processor()

    def set_init_segment(self, data: bytes) -> None:
        """Keep a copy of the initialisation segment; it replaces any earlier one."""
        self._processor.set_init_segment(data)

    def process_segment(self, data: bytes) -> bytes:
        """Return the segment with its decode times rebased. Raises ``ValueError`` for an
        unusable segment."""
        return self._processor.process_segment(data)

    def reset(self) -> None:
        """Forget the bases, as for a new stream; the initialisation segment is kept."""
        self._processor.reset()

    @property
    def base_decode_time(self) -> Optional[int]:
        """The base of the first track met since creation or the last reset, or ``None``."""
        return self._processor.base_decode_time


__all__ = [
    "Diagnostics", "FragmentedMP4Processor", "ProbeResult", "TextSink", "TrackInfo",
    "convert_mp4_reset_timestamps", "convert_ts_to_mp4", "defragment_mp4", "extract_thumbnail",
    "extract_thumbnail_from_mp4", "extract_thumbnail_from_ts", "is_mp4", "mux_fmp4_tracks",
    "probe", "reset_mp4_timestamps",
]
