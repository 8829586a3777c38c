"""plexo: repackage video held in memory (MPEG-TS to MP4, fragmented MP4 to progressive MP4,
track muxing, timestamp reset, key-frame thumbnails, live segment rebasing).

Every operation takes whole files as ``bytes`` and returns new ``bytes``; the work is done by
the native module ``_plexo`` with the interpreter lock released, so threads run in parallel.
The ``*_file`` functions do the same over paths, ``convert_many`` over many paths with one
record per file, and ``python -m plexo`` (or ``plexo``) over the command line.
"""
from _plexo import __version__

from ._core import (
    AudioChoice,
    BytesLike,
    Diagnostics,
    FragmentedMP4Processor,
    ProbeResult,
    TextSink,
    TrackInfo,
    TsSegmenter,
    convert_mp4_reset_timestamps,
    convert_ts_to_fmp4,
    convert_ts_to_mp4,
    defragment_mp4,
    extract_thumbnail,
    extract_thumbnail_from_mp4,
    extract_thumbnail_from_ts,
    is_mp4,
    mux_fmp4_tracks,
    probe,
    reset_mp4_timestamps,
)
from ._batch import ConversionRecord, convert_many
from ._files import (
    PathLike,
    Source,
    ThumbnailFormat,
    convert_file,
    defragment_file,
    mux_files,
    probe_file,
    reset_file,
    thumbnail,
    thumbnail_file,
)
from ._image import ImageFormat, ImageSupportMissing, thumbnail_image
from ._output import atomic_output
from ._playlist import PlaylistError, read_playlist

__all__ = [
    "AudioChoice", "BytesLike", "ConversionRecord", "Diagnostics", "FragmentedMP4Processor", "ImageFormat",
    "ImageSupportMissing", "PathLike", "PlaylistError", "Source", "atomic_output",
    "convert_many", "read_playlist",
    "ProbeResult", "TextSink", "ThumbnailFormat", "TrackInfo", "TsSegmenter", "__version__",
    "convert_file", "convert_mp4_reset_timestamps", "convert_ts_to_fmp4", "convert_ts_to_mp4", "defragment_file",
    "defragment_mp4", "extract_thumbnail", "extract_thumbnail_from_mp4",
    "extract_thumbnail_from_ts", "is_mp4", "mux_files", "mux_fmp4_tracks", "probe",
    "probe_file", "reset_file", "reset_mp4_timestamps", "thumbnail", "thumbnail_file", "thumbnail_image",
]
