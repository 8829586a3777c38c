"""plexo: repackage video held in memory (MPEG-TS to MP4, fragmented MP4 to progressive MP4,
thumbnails, live segment rebasing). The work is done by the native module ``_plexo``."""
from _plexo import (  # noqa: F401
    FragmentedMP4Processor,
    __version__,
    convert_mp4_reset_timestamps,
    convert_ts_to_mp4,
    defragment_mp4,
    extract_thumbnail_from_mp4,
    extract_thumbnail_from_ts,
    mux_fmp4_tracks,
    reset_mp4_timestamps,
)
