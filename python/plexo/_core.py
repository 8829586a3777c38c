"""The extension's operations with English documentation and messages, type hints, inputs of
any bytes-like type and a per-call choice of where the transport-stream diagnostic lines go."""
from __future__ import annotations

import logging
import re
from typing import Any, Callable, List, Optional, Protocol, Sequence, TypedDict, Union, cast

import _plexo

#: The logger that receives the diagnostic lines (at DEBUG) unless a call chooses otherwise.
logger = logging.getLogger("plexo")

#: Anything that supports the buffer protocol: ``bytes``, ``bytearray``, ``memoryview``,
#: ``mmap.mmap``, a NumPy ``uint8`` array.
BytesLike = Union[bytes, bytearray, memoryview, Any]


class TextSink(Protocol):
    """Anything with a ``write(str)`` method: ``sys.stderr``, an ``io.StringIO``, a log adapter."""

    def write(self, text: str, /) -> object: ...


#: ``None`` (the default) sends the diagnostic lines to the ``plexo`` logger at DEBUG level,
#: ``True`` writes them to the process's standard output (file descriptor 1, the extension's
#: own behaviour), ``False`` drops them, a text sink receives each line with its newline once
#: the call has finished.
Diagnostics = Union[None, bool, TextSink]


def as_bytes(data: BytesLike) -> bytes:
    """``data`` as ``bytes``: a ``bytes`` object unchanged, any other bytes-like object copied
    once. Objects without the buffer protocol are returned as they are, for the extension to
    refuse with a ``TypeError`` that names the argument."""
    if isinstance(data, bytes):
        return data
    try:
        view = memoryview(data)
    except TypeError:
        return data  # type: ignore[return-value]
    with view:
        return view.tobytes()


# ---- messages -------------------------------------------------------------------------------

_HANGUL = re.compile("[\u1100-\u11ff\u3130-\u318f\uac00-\ud7af]")

# The extension's Korean messages (kept there as they are) and what the package says instead.
_ENGLISH = [
    (re.compile(r"track_id (\d+) 에 해당하는 trak 없음"),
     "No trak box describes track {0} (its tkhd is missing or unreadable)"),
    (re.compile(r"track_id (\d+) 가 중복됨"), "Track ID {0} is used by two tracks of one input"),
    (re.compile(r"합칠 트랙이 없음"), "Neither input holds a track to join"),
    (re.compile(r"템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음"),
     "The video input's moov has no trak box, so the joined tracks have no place"),
    (re.compile(r"moov 크기가 offset 계산 전후로 달라짐"),
     "The joined moov changed size between its two layout passes"),
]


def english(message: str) -> str:
    """The package's English for a message of the extension (unchanged when it is English)."""
    if not _HANGUL.search(message):
        return message
    for pattern, text in _ENGLISH:
        found = pattern.fullmatch(message)
        if found:
            return text.format(*found.groups())
    return "The operation failed (the extension's message is kept as this error's cause)"


def looks_like_ts(data: bytes) -> bool:
    """Whether ``data`` opens with MPEG transport-stream packets."""
    return _plexo._container(data) == "ts"


_MUX_INPUTS = ("the video input", "the audio input")
_TS_HINT = ("{what} is an MPEG transport stream, not an MP4: convert it with "
            "plexo.convert_ts_to_mp4 ('plexo convert')")


def _mp4_operation(func: Callable[..., bytes], *inputs: bytes,
                   names: tuple[str, ...] = ("the input",)) -> bytes:
    """Runs an MP4 operation; its messages come out in English, with a hint when an input is a
    transport stream. The extension's own exception is kept as the cause."""
    try:
        return func(*inputs)
    except ValueError as exc:
        message = _hinted(str(exc), inputs, names)
        if message == str(exc):
            raise
        raise ValueError(message) from exc


def _hinted(message: str, heads: Sequence[bytes], names: Sequence[str]) -> str:
    """An MP4 operation's message in English, with a hint for each input whose first bytes
    (``heads``) are a transport stream's."""
    message = english(message)
    hints = [_TS_HINT.format(what=name) for name, data in zip(names, heads)
             if isinstance(data, bytes) and looks_like_ts(data)]
    return f"{message}; {'; '.join(hints)}" if hints else message


# ---- diagnostics ----------------------------------------------------------------------------

def _sink_argument(diagnostics: Diagnostics) -> Union[bool, List[str]]:
    if diagnostics is None:
        return [] if logger.isEnabledFor(logging.DEBUG) else False
    if isinstance(diagnostics, bool):
        return diagnostics
    if callable(getattr(diagnostics, "write", None)):
        return []
    raise TypeError(
        "diagnostics must be None, True, False or a text stream with a write() method, "
        f"not {type(diagnostics).__name__!r}")


def _deliver(lines: Union[bool, List[str]], diagnostics: Diagnostics) -> None:
    if not isinstance(lines, list) or not lines:
        return
    if diagnostics is None:
        for line in lines:
            logger.debug("%s", line.rstrip("\n"))
        return
    write = diagnostics.write  # type: ignore[union-attr]
    for line in lines:
        write(line)


def _with_diagnostics(private: Callable[..., bytes], diagnostics: Diagnostics,
                      *args: Any) -> bytes:
    lines = _sink_argument(diagnostics)
    try:
        return private(*args, lines)
    finally:
        _deliver(lines, diagnostics)


def convert_ts_to_mp4(data: BytesLike, reset_timestamps: bool = False, *,
                      diagnostics: Diagnostics = None) -> bytes:
    """Convert an MPEG transport stream (H.264 or HEVC video and ADTS AAC audio) into a
    progressive MP4.

    The result holds ``ftyp``, ``moov`` and ``mdat``; packets are copied, never re-encoded.
    ``reset_timestamps`` is accepted for compatibility: every time in the file is already
    relative to its first sample. ``diagnostics`` chooses where the demultiplexer's lines (the
    PIDs found, frame totals, PTS ranges) go: by default to the ``plexo`` logger at DEBUG
    level, ``True`` to standard output, ``False`` nowhere, or a text stream such as
    ``sys.stderr``; the choice applies to this call only. ``data`` may be any bytes-like
    object; one that is not ``bytes`` is copied once into ``bytes``.

    Raises ``TypeError`` when ``data`` is not ``bytes``; ``ValueError`` for unusable input,
    e.g. ``"No valid TS sync byte found"``, ``"No video data found"`` or ``"No H.264
    parameter sets found"`` (pictures without a readable SPS and PPS before them).
    """
    return _with_diagnostics(_plexo._convert_ts_to_mp4, diagnostics, as_bytes(data),
                             reset_timestamps)


def convert_ts_to_fmp4(data: BytesLike, *, fragment_duration: float = 2.0,
                       diagnostics: Diagnostics = None) -> bytes:
    """Convert an MPEG transport stream into a fragmented MP4 (for HLS, DASH or Media Source
    Extensions): ``ftyp``, a ``moov`` with ``mvex``/``trex`` and the same sample descriptions
    as :func:`convert_ts_to_mp4`, then one ``moof`` + ``mdat`` fragment per stretch of
    ``fragment_duration`` seconds.

    A fragment begins at the first video key frame at or after each multiple of
    ``fragment_duration`` on the video timeline, and holds one ``traf`` per track (video
    first); the audio is cut at the same times. The later stream's delay is carried by its
    first decode time (``tfdt``) rather than an edit list. Samples, sizes and times are those
    :func:`convert_ts_to_mp4` writes. ``diagnostics`` as for :func:`convert_ts_to_mp4`.

    Raises ``TypeError`` when ``data`` is not bytes-like; ``ValueError`` for unusable input
    (the messages of :func:`convert_ts_to_mp4`) and ``"Invalid fragment duration"`` unless
    ``0 < fragment_duration <= 1e6``.
    """
    return _with_diagnostics(_plexo._convert_ts_to_fmp4, diagnostics, as_bytes(data),
                             fragment_duration)


def extract_thumbnail_from_ts(data: BytesLike, *, diagnostics: Diagnostics = None) -> bytes:
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
    return _with_diagnostics(_plexo._extract_thumbnail_from_ts, diagnostics, as_bytes(data))


def extract_thumbnail_from_mp4(data: BytesLike) -> bytes:
    """The first key frame of the first H.264 or HEVC track of an MP4 (progressive or
    fragmented) as an Annex B stream, behind the track's parameter sets from ``avcC`` or
    ``hvcC``.

    Raises ``ValueError`` when the file has no such track (a video track of another codec is
    named: ``"Unsupported video track: ..."``) or no key frame.
    """
    return _mp4_operation(_plexo.extract_thumbnail_from_mp4, as_bytes(data))


def defragment_mp4(data: BytesLike) -> bytes:
    """Flatten a fragmented MP4 (``moov`` plus ``moof``/``mdat`` fragments) into a progressive
    MP4 with complete sample tables; sample bytes and times are kept exactly.

    Raises ``ValueError``, e.g. ``"Not a fragmented MP4"`` for a file without fragments.
    """
    return _mp4_operation(_plexo.defragment_mp4, as_bytes(data))


def mux_fmp4_tracks(video: BytesLike, audio: BytesLike) -> bytes:
    """Join a video fragmented MP4 and an audio fragmented MP4, delivered separately, into one
    progressive MP4 holding the tracks of both (video first).

    Renditions from HLS and DASH usually all carry track ID 1: an audio track whose ID a video
    track holds takes the lowest ID that no track of either input holds (in its ``tkhd``, the
    movie's next track ID and the audio input's track references). An input that starts later
    keeps its offset (an edit list). ``_plexo.mux_fmp4_tracks`` itself refuses such pairs.

    Raises ``ValueError`` for unusable input, in English (the extension's message is kept as
    the exception's cause).
    """
    return _mp4_operation(_plexo._mux_fmp4_tracks_renumbered, as_bytes(video), as_bytes(audio),
                          names=_MUX_INPUTS)


def reset_mp4_timestamps(data: BytesLike) -> bytes:
    """Rewrite a fragmented MP4 so that every track's decode timeline starts at zero; the
    result is still fragmented.

    Raises ``ValueError`` for unusable input.
    """
    return _mp4_operation(_plexo.reset_mp4_timestamps, as_bytes(data))


def convert_mp4_reset_timestamps(data: BytesLike) -> bytes:
    """:func:`defragment_mp4` when ``data`` is fragmented, otherwise
    :func:`reset_mp4_timestamps`.

    Raises ``ValueError`` for unusable input.
    """
    return _mp4_operation(_plexo.convert_mp4_reset_timestamps, as_bytes(data))


def is_mp4(data: BytesLike) -> bool:
    """Whether ``data`` opens like an ISO BMFF (MP4) file rather than a transport stream."""
    return _plexo._container(bytes(data)) == "mp4"


def extract_thumbnail(data: BytesLike, *, diagnostics: Diagnostics = None) -> bytes:
    """The first key frame of a transport stream or an MP4, whichever ``data`` is, as Annex B
    H.264 or HEVC (see :func:`extract_thumbnail_from_ts` and :func:`extract_thumbnail_from_mp4`)."""
    data = as_bytes(data)
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


def probe(data: BytesLike) -> ProbeResult:
    """What a file holds: its format, duration and tracks (codec, timescale, duration, sample
    and key-frame counts, picture size and H.264/HEVC profile or audio rate and channels).

    Raises ``ValueError`` for unusable input.
    """
    return cast(ProbeResult, _plexo._probe(as_bytes(data)))


class TsSegmenter:
    """A live MPEG transport stream as fragmented MP4 (HLS fMP4, DASH, Media Source Extensions).

    Push the stream in pieces of any size, cut anywhere (mid-packet too; empty pieces are
    fine): each call returns the fragments (``moof`` + ``mdat``) that the piece completed, a
    fragment being complete once the key frame that begins the next one has arrived. ``init``
    is the initialisation segment (``ftyp`` + ``moov``) once the video's parameter sets and the
    audio's configuration are known, ``None`` before; ``flush()`` ends the stream and returns
    the last fragments. ``init`` followed by every fragment is the file
    :func:`convert_ts_to_fmp4` writes for the whole stream (same fragments, packets and times).

    A fragment begins at a key frame: an IDR picture, an HEVC random-access picture (IDR, CRA,
    BLA) or an H.264 picture that a recovery-point SEI marks (open-GOP and intra-refresh
    encoders send no other). Where none comes in time a fragment ends anyway, before the
    picture that would make it longer than ``max_fragment_duration`` seconds (60 by default)
    or once it holds 16,384 pictures, so memory stays near one fragment whatever the stream's
    length and however its key frames come. ``independent`` says whether every fragment so far
    decodes alone after ``init`` (it begins with an IDR picture, or a random-access picture
    followed by no skipped leading picture). The media work runs without the interpreter lock;
    calls on one segmenter are serialised by the object itself.

    Raises ``ValueError``: ``"Invalid fragment duration"`` from the constructor; from ``push``
    when the programme's streams are not converted; from ``flush`` for a stream that gave
    nothing to write (``"No H.264 parameter sets found"``, ``"No video data found"``,
    ``"No valid TS sync byte found"``).
    """

    __slots__ = ("_segmenter",)

    def __init__(self, fragment_duration: float = 2.0, max_fragment_duration: float = 60.0) -> None:
        self._segmenter = _plexo._TsSegmenter(fragment_duration, max_fragment_duration)

    def push(self, chunk: BytesLike) -> List[bytes]:
        """Take the next piece of the stream; return the fragments it completed, in order."""
        return self._segmenter.push(as_bytes(chunk))

    def flush(self) -> List[bytes]:
        """End the stream: return its last fragments."""
        return self._segmenter.flush()

    @property
    def init(self) -> Optional[bytes]:
        """The initialisation segment, or ``None`` until the tracks are known."""
        return self._segmenter.init

    @property
    def independent(self) -> bool:
        """Whether every fragment returned so far decodes alone after ``init``."""
        return self._segmenter.independent


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

    def set_init_segment(self, data: BytesLike) -> None:
        """Keep a copy of the initialisation segment; it replaces any earlier one."""
        self._processor.set_init_segment(as_bytes(data))

    def process_segment(self, data: BytesLike) -> bytes:
        """Return the segment with its decode times rebased. Raises ``ValueError`` for an
        unusable segment."""
        return self._processor.process_segment(as_bytes(data))

    def reset(self) -> None:
        """Forget the bases, as for a new stream; the initialisation segment is kept."""
        self._processor.reset()

    @property
    def base_decode_time(self) -> Optional[int]:
        """The base of the first track met since creation or the last reset, or ``None``."""
        return self._processor.base_decode_time


__all__ = [
    "BytesLike", "Diagnostics", "FragmentedMP4Processor", "ProbeResult", "TextSink", "TrackInfo",
    "TsSegmenter", "convert_ts_to_fmp4",
    "convert_mp4_reset_timestamps", "convert_ts_to_mp4", "defragment_mp4", "extract_thumbnail",
    "extract_thumbnail_from_mp4", "extract_thumbnail_from_ts", "is_mp4", "mux_fmp4_tracks",
    "probe", "reset_mp4_timestamps",
]
