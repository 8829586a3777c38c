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
    """Convert an MPEG transport stream (H.264 video and ADTS AAC audio) into a progressive MP4.

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


def convert_ts_to_fmp4(data: bytes, *, fragment_duration: float = 2.0,
                       diagnostics: Diagnostics = True) -> bytes:
    """Convert an MPEG transport stream into a fragmented MP4 (for HLS, DASH or Media Source
    Extensions): ``ftyp``, a ``moov`` with ``mvex``/``trex`` and the same sample descriptions
    as :func:`convert_ts_to_mp4`, then one ``moof`` + ``mdat`` fragment per stretch of
    ``fragment_duration`` seconds.

    A fragment begins at the first video key frame at or after each multiple of
    ``fragment_duration`` on the video timeline, and holds one ``traf`` per track (video
    first); the audio is cut at the same times. The later stream's delay is carried by its
    first decode time (``tfdt``) rather than an edit list. Samples, sizes and times are those
    :func:`convert_ts_to_mp4` writes. ``diagnostics`` as for :func:`convert_ts_to_mp4`.

    Raises ``TypeError`` when ``data`` is not ``bytes``; ``ValueError`` for unusable input
    (the messages of :func:`convert_ts_to_mp4`) and ``"Invalid fragment duration"`` unless
    ``0 < fragment_duration <= 1e6``.
    """
    lines = _sink_argument(diagnostics)
    try:
        return _plexo._convert_ts_to_fmp4(data, fragment_duration, lines)
    finally:
        _deliver(lines, diagnostics)


def extract_thumbnail_from_ts(data: bytes, *, diagnostics: Diagnostics = True) -> bytes:
    """The first key (IDR) picture of a transport stream as an Annex B H.264 stream.

    The first such picture after a readable SPS and PPS is taken; those come first, then
    every slice of that picture, so the result decodes on its own (``plexo.thumbnail_image`` turns it into a PNG or JPEG).
    ``diagnostics`` as for :func:`convert_ts_to_mp4`.

    Raises ``ValueError``: ``"No valid TS sync byte found"``, ``"No video data found"``,
    ``"No I-frame found in video stream"``, ``"No H.264 parameter sets found"``.
    """
    if diagnostics is True:
        return _plexo.extract_thumbnail_from_ts(data)
    lines = _sink_argument(diagnostics)
    try:
        return _plexo._extract_thumbnail_from_ts(data, lines)
    finally:
        _deliver(lines, diagnostics)


def extract_thumbnail_from_mp4(data: bytes) -> bytes:
    """The first key frame of the first H.264 track of an MP4 (progressive or fragmented) as an
    Annex B H.264 stream, behind the track's SPS and PPS from ``avcC``.

    Raises ``ValueError`` when the file has no H.264 track or no key frame.
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
    H.264 (see :func:`extract_thumbnail_from_ts` and :func:`extract_thumbnail_from_mp4`)."""
    if is_mp4(data):
        return extract_thumbnail_from_mp4(data)
    return extract_thumbnail_from_ts(data, diagnostics=diagnostics)


class TrackInfo(TypedDict, total=False):
    id: int
    kind: str  # "video", "audio" or "other"
    codec: str  # sample entry type, e.g. "avc1", "mp4a"
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
    and key-frame counts, picture size or audio rate and channels).

    Raises ``ValueError`` for unusable input.
    """
    result: ProbeResult = _plexo._probe(data)
    return result


class TsSegmenter:
    """A live MPEG transport stream as fragmented MP4 (HLS fMP4, DASH, Media Source Extensions).

    Push the stream in pieces of any size, cut anywhere (mid-packet too; empty pieces are
    fine): each call returns the fragments (``moof`` + ``mdat``) that the piece completed, a
    fragment being complete once the key frame that begins the next one has arrived. ``init``
    is the initialisation segment (``ftyp`` + ``moov``) once the video's parameter sets and the
    audio's configuration are known, ``None`` before; ``flush()`` ends the stream and returns
    the last fragments. ``init`` followed by every fragment is the file
    :func:`convert_ts_to_fmp4` writes for the whole stream (same fragments, packets and times).

    Memory stays near one fragment whatever the stream's length. The media work runs without
    the interpreter lock; calls on one segmenter are serialised by the object itself.

    Raises ``ValueError``: ``"Invalid fragment duration"`` from the constructor; from ``push``
    when the programme's streams are not converted; from ``flush`` for a stream that gave
    nothing to write (``"No H.264 parameter sets found"``, ``"No video data found"``,
    ``"No valid TS sync byte found"``).
    """

    __slots__ = ("_segmenter",)

    def __init__(self, fragment_duration: float = 2.0) -> None:
        self._segmenter = _plexo._TsSegmenter(fragment_duration)

    def push(self, chunk: bytes) -> List[bytes]:
        """Take the next piece of the stream; return the fragments it completed, in order."""
        return self._segmenter.push(chunk)

    def flush(self) -> List[bytes]:
        """End the stream: return its last fragments."""
        return self._segmenter.flush()

    @property
    def init(self) -> Optional[bytes]:
        """The initialisation segment, or ``None`` until the tracks are known."""
        return self._segmenter.init


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
    "Diagnostics", "FragmentedMP4Processor", "ProbeResult", "TextSink", "TrackInfo", "TsSegmenter",
    "convert_mp4_reset_timestamps", "convert_ts_to_fmp4", "convert_ts_to_mp4", "defragment_mp4", "extract_thumbnail",
    "extract_thumbnail_from_mp4", "extract_thumbnail_from_ts", "is_mp4", "mux_fmp4_tracks",
    "probe", "reset_mp4_timestamps",
]
