"""The extension's operations with English documentation and messages, type hints, inputs of
any bytes-like type and a per-call choice of where the transport-stream diagnostic lines go."""
from __future__ import annotations

import logging
import re
import functools
import sys
from typing import (TYPE_CHECKING, Any, Callable, List, Literal, Optional, Protocol, Sequence, Tuple,
                    TypedDict, TypeVar, Union, cast)

import _plexo

#: The logger that receives the diagnostic lines (at DEBUG) unless a call chooses otherwise.
logger = logging.getLogger("plexo")

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
elif TYPE_CHECKING:
    from typing_extensions import Buffer  # type checkers ship it; nothing needed at run time
else:
    Buffer = Union[bytes, bytearray, memoryview]

#: Anything that supports the buffer protocol: ``bytes``, ``bytearray``, ``memoryview``,
#: ``mmap.mmap``, a NumPy ``uint8`` array (not ``str``, which a type checker then refuses).
BytesLike = Buffer


class TextSink(Protocol):
    """Anything with a ``write(str)`` method: ``sys.stderr``, an ``io.StringIO``, a log adapter."""

    def write(self, text: str, /) -> object: ...


#: ``None`` (the default) sends the diagnostic lines to the ``plexo`` logger at DEBUG level,
#: ``True`` writes them to the process's standard output (file descriptor 1, the extension's
#: own behaviour), ``False`` drops them, a text sink receives each line with its newline once
#: the call has finished.
Diagnostics = Union[None, bool, TextSink]

#: Which audio streams of a transport stream become tracks: ``"all"`` (each its own track, in
#: the order the programme lists them; the first enabled, the others alternatives to it in one
#: alternate group) or ``"first"`` (the first only, as ``_plexo`` converts).
AudioChoice = Literal["all", "first"]


def _all_audio(audio: AudioChoice) -> bool:
    if audio not in ("all", "first"):
        raise ValueError(f"audio must be 'all' or 'first', not {audio!r}")
    return audio == "all"


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


# The first bytes of files often given where a transport stream or an MP4 belongs.
_SIGNATURES = [
    (b"\x89PNG\r\n\x1a\n", "a PNG image"), (b"\xff\xd8\xff", "a JPEG image"),
    (b"GIF8", "a GIF image"), (b"\x1a\x45\xdf\xa3", "a Matroska or WebM file"),
    (b"fLaC", "a FLAC audio file"), (b"OggS", "an Ogg file"), (b"ID3", "an MP3 audio file"),
    (b"FLV\x01", "an FLV file"), (b"\x00\x00\x01\xba", "an MPEG program stream"),
    (b"#EXTM3U", "an HLS playlist read as media"),
]
_RIFF = {b"WAVE": "a WAV audio file", b"AVI ": "an AVI file", b"WEBP": "a WebP image"}
_DASH = "a DASH manifest (.mpd): DASH manifests are not read yet; give one of its media files"


def _kind_of(head: bytes) -> Optional[str]:
    """What a file is, from its first bytes, when it is plainly neither a transport stream nor
    an MP4 (a picture, another container, a manifest); ``None`` otherwise."""
    if not head or _plexo._container(head) is not None:
        return None
    for signature, kind in _SIGNATURES:
        if head.startswith(signature):
            return kind
    if head.startswith(b"RIFF") and head[8:12] in _RIFF:
        return _RIFF[head[8:12]]
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text.startswith(b"<") and b"<MPD" in text[:4096]:
        return _DASH
    return None


def _not_a_transport_stream(head: bytes) -> Optional[str]:
    """Why a file whose first bytes are ``head`` is plainly not a transport stream, or
    ``None``."""
    if is_mp4(head):
        return ("an MP4 file, not a transport stream "
                "('plexo defragment' flattens fragmented MP4)")
    kind = _kind_of(head)
    return kind if kind is None or kind == _DASH else f"{kind}, not a transport stream"


_T = TypeVar("_T")
# The refusals of input in which the demultiplexer found no stream at all.
_NOTHING_FOUND = ("No valid TS sync byte found", "No video data found")


def _convert_checked(head: bytes, convert: Callable[[], _T]) -> _T:
    """``convert()`` of a transport stream whose first bytes are ``head``. A file that is
    plainly something else is refused by name first; an input that does not open as a
    transport stream and gave nothing is refused as not being one."""
    refusal = _not_a_transport_stream(head)
    if refusal is not None:
        raise ValueError(refusal)
    try:
        return convert()
    except ValueError as exc:
        if str(exc) in _NOTHING_FOUND and _plexo._container(head) != "ts":
            raise ValueError(f"not a transport stream ({exc})") from exc
        raise


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
        message = _blamed(_hinted(str(exc), inputs, names), lambda: inputs, names)
        if message == str(exc):
            raise
        raise ValueError(message) from exc


def _blamed(message: str, inputs: Callable[[], Optional[Sequence[bytes]]],
            names: Sequence[str]) -> str:
    """The message of a join that failed, led by the input at fault when it does not name one:
    the first input the probe cannot read on its own (the join reads the video input first).
    ``inputs`` gives the inputs' bytes, or ``None`` when they are too large to read again."""
    if len(names) < 2 or any(name.lower() in message.lower() for name in names):
        return message
    for name, data in zip(names, inputs() or ()):
        try:
            _plexo._probe(data)
        except ValueError:
            return f"{name}: {message}"
    return message


def _hinted(message: str, heads: Sequence[bytes], names: Sequence[str]) -> str:
    """An MP4 operation's message in English, with a hint for each input whose first bytes
    (``heads``) are a transport stream's."""
    message = english(message)
    for name, head in zip(names, heads):
        kind = _kind_of(head) if isinstance(head, bytes) else None
        if kind is not None:  # the extension's reading of it says nothing useful
            return f"{name} is {kind}" + ("" if kind == _DASH else ", not an MP4")
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
                      diagnostics: Diagnostics = None, audio: AudioChoice = "all") -> bytes:
    """Convert an MPEG transport stream (H.264 or HEVC video; AAC, MP3, MP2, AC-3 or E-AC-3
    audio) into a progressive MP4.

    The result holds ``ftyp``, ``moov`` and ``mdat``; packets are copied, never re-encoded.
    ``reset_timestamps`` is accepted for compatibility: every time in the file is already
    relative to its first sample. ``diagnostics`` chooses where the demultiplexer's lines (the
    PIDs found, frame totals, PTS ranges) go: by default to the ``plexo`` logger at DEBUG
    level, ``True`` to standard output, ``False`` nowhere, or a text stream such as
    ``sys.stderr``; the choice applies to this call only. ``data`` may be any bytes-like
    object; one that is not ``bytes`` is copied once into ``bytes``.

    Every audio stream of the programme (AAC, MPEG audio, AC-3, E-AC-3) becomes its own track
    in the order the PMT lists them, each with the language its PMT entry names (``mdhd``):
    the first is enabled, the others are alternatives to it (one ``tkhd`` alternate group, not
    enabled). ``audio="first"`` keeps the first only. Streams left out are named in the
    diagnostic lines ("Left out audio - PID: ...").

    Raises ``TypeError`` when ``data`` is not ``bytes``; ``ValueError`` for unusable input,
    e.g. ``"No valid TS sync byte found"``, ``"No video data found"`` or ``"No H.264
    parameter sets found"`` (pictures without a readable SPS and PPS before them).
    """
    native = functools.partial(_plexo._convert_ts_to_mp4, all_audio=_all_audio(audio))
    return _with_diagnostics(native, diagnostics, as_bytes(data), reset_timestamps)


def convert_ts_to_fmp4(data: BytesLike, *, fragment_duration: float = 2.0,
                       diagnostics: Diagnostics = None, audio: AudioChoice = "all") -> bytes:
    """Convert an MPEG transport stream into a fragmented MP4 (for HLS, DASH or Media Source
    Extensions): ``ftyp``, a ``moov`` with ``mvex``/``trex`` and the same sample descriptions
    as :func:`convert_ts_to_mp4`, then one ``moof`` + ``mdat`` fragment per stretch of
    ``fragment_duration`` seconds.

    A fragment begins at the first video key frame at or after each multiple of
    ``fragment_duration`` on the video timeline, and holds one ``traf`` per track (video
    first); the audio is cut at the same times. The later stream's delay is carried by its
    first decode time (``tfdt``) rather than an edit list. Samples, sizes and times are those
    :func:`convert_ts_to_mp4` writes. ``diagnostics`` and ``audio`` as for
    :func:`convert_ts_to_mp4`.

    Raises ``TypeError`` when ``data`` is not bytes-like; ``ValueError`` for unusable input
    (the messages of :func:`convert_ts_to_mp4`) and ``"Invalid fragment duration"`` unless
    ``0.001 <= fragment_duration <= 1e6`` (seconds); ``TypeError`` for a ``bool``.
    """
    native = functools.partial(_plexo._convert_ts_to_fmp4, all_audio=_all_audio(audio))
    return _with_diagnostics(native, diagnostics, as_bytes(data), fragment_duration)


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

    Either input may be progressive (its samples come from its sample tables, its edit list is
    kept). An input that leaves a track without samples (an initialisation segment alone) is
    refused, naming it: ``"The audio input holds no samples for track 1"``.

    Raises ``ValueError`` for unusable input, in English (the extension's message is kept as
    the exception's cause).
    """
    return _mp4_operation(_plexo._mux_fmp4_tracks_renumbered, as_bytes(video), as_bytes(audio),
                          names=_MUX_INPUTS)


def reset_mp4_timestamps(data: BytesLike) -> bytes:
    """Rewrite a fragmented MP4 so that every track's decode timeline starts at zero; the
    result is still fragmented. Where every track's edit list begins with an empty edit (a
    start offset, in a progressive or a fragmented file), the shortest of them is dropped from
    all tracks, so presentation starts at zero with the tracks' offsets kept; the file keeps
    its length.

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


class _TrackKeys(TypedDict):
    """The keys every track has."""
    id: int
    kind: Literal["video", "audio", "other"]  # "other": an MP4 track of another kind
    codec: str  # sample entry type, e.g. "avc1", "hvc1", "mp4a"
    timescale: int
    duration: float  # seconds
    samples: int
    key_frames: int


class TrackInfo(_TrackKeys, total=False):
    """One track of :func:`probe`: the keys of every track, the picture size and profile of
    video, the rate and channels of audio."""
    profile: str  # H.264 or HEVC video, e.g. "High", "Main 10"
    width: int
    height: int
    sample_rate: int
    channels: int
    language: str  # ISO 639-2/T code of the track's mdhd, "und" when none is named


class ProbeResult(TypedDict):
    format: str  # "mp4" or "ts"
    duration: float  # seconds
    tracks: List[TrackInfo]


def probe(data: BytesLike) -> ProbeResult:
    """What a file holds: its format, duration and tracks (codec, timescale, duration, sample
    and key-frame counts, picture size and H.264/HEVC profile or audio rate and channels, and
    language). A transport stream is described as :func:`convert_ts_to_mp4` converts it: every
    audio stream a track.

    Raises ``ValueError`` for unusable input; a file that is plainly something else (a
    picture, another container, a DASH manifest) is named for what it is.
    """
    data = as_bytes(data)
    return _probed(data[:4096] if isinstance(data, bytes) else b"", lambda: _plexo._probe(data, all_audio=True))


def _probed(head: bytes, read: Callable[[], Any]) -> ProbeResult:
    """``read()``, the probe of a file whose first bytes are ``head``; its refusal of a file
    that is plainly something else names what it is."""
    try:
        return cast(ProbeResult, read())
    except ValueError as exc:
        kind = _kind_of(head)
        if kind is None:
            raise
        raise ValueError(kind if kind == _DASH
                         else f"{kind}, not an MP4 or a transport stream") from exc


#: How much of a pushed buffer that is not ``bytes`` is copied at a time.
_PUSH_WINDOW = 16 << 20


class TsSegmenter:
    """A live MPEG transport stream as fragmented MP4 (HLS fMP4, DASH, Media Source Extensions).

    Push the stream in pieces of any size, cut anywhere (mid-packet too; empty pieces are
    fine): each call returns the fragments (``moof`` + ``mdat``) that the piece completed, a
    fragment being complete once the key frame that begins the next one has arrived. ``init``
    is the initialisation segment (``ftyp`` + ``moov``) once the video's parameter sets and the
    audio's configuration are known, ``None`` before; ``flush()`` ends the stream and returns
    the last fragments. ``init`` followed by every fragment is the file
    :func:`convert_ts_to_fmp4` writes for the whole stream with ``audio="first"`` (same
    fragments, packets and times), unless the video's parameter sets change.

    When the video's parameter sets change (a new picture size, an encoder restart), the
    fragment that begins with the change needs an initialisation segment describing the new
    sets, which ``init`` could not know: :meth:`init_changes` gives each such segment with the
    number of the fragment it precedes (a player starts afresh there: an HLS playlist marks it
    with ``#EXT-X-DISCONTINUITY`` and a new ``#EXT-X-MAP``). Each describes one generation of
    parameter sets, so no fragment names a sample entry: the fragments then differ from
    :func:`convert_ts_to_fmp4`'s, whose one init lists every generation, in that alone.

    A fragment begins at a key frame: an IDR picture, an HEVC random-access picture (IDR, CRA,
    BLA) or an H.264 picture that a recovery-point SEI marks (open-GOP and intra-refresh
    encoders send no other). Where none comes in time a fragment ends anyway, before the
    picture that would make it longer than ``max_fragment_duration`` seconds (60 by default)
    or once it holds 16,384 pictures, so memory stays near one fragment whatever the stream's
    length and however its key frames come. ``independent`` says whether every fragment so far
    decodes alone after ``init`` (it begins with an IDR picture, or a random-access picture
    followed by no skipped leading picture). The media work runs without the interpreter lock;
    calls on one segmenter are serialised by the object itself.

    Only the programme's first audio stream is segmented (``audio="first"`` of
    :func:`convert_ts_to_fmp4`); each audio stream left out is named once as a warning of the
    ``plexo`` logger ("Left out audio - PID: ...").

    Raises ``ValueError``: ``"Invalid fragment duration"`` from the constructor (unless
    ``0.001 <= fragment_duration <= 1e6``; a ``bool`` is a ``TypeError``); from ``push`` as soon
    as the programme's PMT names a video stream that is not converted (the message ``flush``
    would give); from ``flush`` for a stream that gave
    nothing to write (``"No H.264 parameter sets found"``, ``"No video data found"``,
    ``"No valid TS sync byte found"``).
    """

    __slots__ = ("_segmenter", "_failure", "_programme_known")

    def __init__(self, fragment_duration: float = 2.0, max_fragment_duration: float = 60.0) -> None:
        self._segmenter = _plexo._TsSegmenter(fragment_duration, max_fragment_duration)
        self._failure: Optional[ValueError] = None
        self._programme_known = False

    def push(self, chunk: BytesLike) -> List[bytes]:
        """Take the next piece of the stream; return the fragments it completed, in order."""
        fragments = self._push(chunk)
        self._warn_left_out()
        return fragments

    def _push(self, chunk: BytesLike) -> List[bytes]:
        if isinstance(chunk, bytes):
            return self._segmenter.push(chunk)
        try:
            whole = memoryview(chunk)
        except TypeError:
            return self._segmenter.push(cast(bytes, chunk))  # refused there, naming the argument
        # Other buffers go in as bytes a window at a time (the fragments do not depend on how
        # the stream is cut), so that a large piece is never copied whole.
        fragments: List[bytes] = []
        with whole:
            if not whole.c_contiguous:
                return self._segmenter.push(whole.tobytes())
            with whole.cast("B") as view:
                for at in range(0, max(len(view), 1), _PUSH_WINDOW):
                    fragments += self._segmenter.push(view[at:at + _PUSH_WINDOW].tobytes())
        return fragments

    def flush(self) -> List[bytes]:
        """End the stream: return its last fragments. A stream that failed at its end fails
        again at every later ``flush``; one that ended well gives ``[]``."""
        if self._failure is not None:
            raise ValueError(*self._failure.args)
        try:
            fragments = self._segmenter.flush()
        except ValueError as exc:
            self._failure = exc
            raise
        self._warn_left_out()
        return fragments

    def _warn_left_out(self) -> None:
        # Once the programme is known: the audio streams it leaves out, as warnings of the
        # ``plexo`` logger.
        if self._programme_known:
            return
        lines = self._segmenter._diagnostics
        if "Found PIDs" not in lines:
            return
        self._programme_known = True
        for line in lines.splitlines():
            if line.startswith("Left out audio"):
                logger.warning("%s", line)

    @property
    def init(self) -> Optional[bytes]:
        """The initialisation segment, or ``None`` until the tracks are known."""
        return self._segmenter.init

    def init_changes(self, since: int = 0) -> List[Tuple[int, bytes]]:
        """The initialisation segments written after ``init``, from the ``since``-th on: each
        as (number of fragments returned before it, segment), its one sample entry describing
        the video's parameter sets from that fragment on."""
        return self._segmenter._init_changes(since)

    @property
    def independent(self) -> bool:
        """Whether every fragment returned so far decodes alone after ``init``."""
        return self._segmenter.independent


class FragmentedMP4Processor:
    """Rebases live fragmented-MP4 segments so that decode times start from zero.

    Give it the initialisation segment (``ftyp`` + ``moov``) once, then each media segment in
    order (the initialisation segment is optional and only kept); every returned segment has
    its ``tfdt`` decode times reduced by one base per track, taken from the first ``tfdt`` of
    that track. Times never go below zero. The work runs without the interpreter lock; calls
    on one processor are serialised by the object itself.
    """

    __slots__ = ("_processor",)

    def __init__(self) -> None:
        self._processor = _plexo.FragmentedMP4Processor()

    def set_init_segment(self, data: BytesLike) -> None:
        """Keep a copy of the initialisation segment; it replaces any earlier one."""
        self._processor.set_init_segment(as_bytes(data))

    def process_segment(self, data: BytesLike, *, strict: bool = True) -> bytes:
        """Return the segment with its decode times rebased. Raises ``ValueError`` for an
        unusable segment.

        With ``strict`` (the default) a segment must be whole, or nothing is rebased and
        ``ValueError`` says what is missing: ``"Segment holds no box"``, ``"Segment has a moof
        without its mdat"``, ``"Segment cut short: a track run reaches past its media data"``,
        ``"Segment cut short: its … box runs past its end"``. ``strict=False`` passes a
        segment cut short as ``_plexo`` does: whole boxes only, possibly ``b""``."""
        return self._processor.process_segment(as_bytes(data), _complete=bool(strict))

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
