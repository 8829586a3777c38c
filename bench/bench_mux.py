"""mux_fmp4_tracks on a 60-second 1080p video fragmented MP4 and its audio fragmented MP4
(~60 MB together): throughput against the copy floor of both inputs and against ffmpeg
-c copy of the two, and the peak memory one call adds.

    python bench/bench_mux.py
"""
from __future__ import annotations

import subprocess

import _plexo
from common import DATA, copy_floor, ffmpeg_copy_seconds, peak_extra_memory, report, throughput

VIDEO = DATA / "mux_video_1080p_60s.mp4"
AUDIO = DATA / "mux_audio_60s.mp4"


def make_inputs() -> None:
    DATA.mkdir(parents=True, exist_ok=True)
    subprocess.run([
        "ffmpeg", "-nostdin", "-v", "error", "-y",
        "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=60",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=60",
        "-map", "0:v", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "7500k", "-g", "60",
        "-pix_fmt", "yuv420p", "-movflags", "frag_keyframe+empty_moov+default_base_moof", str(VIDEO),
        "-map", "1:a", "-c:a", "aac", "-b:a", "128k", "-streamid", "0:2", "-use_stream_ids_as_track_ids", "1",
        "-movflags", "empty_moov+default_base_moof", "-frag_duration", "2000000", str(AUDIO),
    ], check=True)


def main() -> None:
    if not (VIDEO.exists() and AUDIO.exists()):
        make_inputs()
    video, audio = VIDEO.read_bytes(), AUDIO.read_bytes()
    rows = {
        "copy floor": copy_floor(video + audio),
        "mux_fmp4_tracks": throughput(_plexo.mux_fmp4_tracks, video, audio),
        "ffmpeg -c copy (mp4)": (len(video) + len(audio)) / ffmpeg_copy_seconds(
            VIDEO, "mp4", more_inputs=(AUDIO,)) / 1e6,
    }
    report("mux_fmp4_tracks", len(video) + len(audio), rows)
    extra = peak_extra_memory(f"_plexo.mux_fmp4_tracks(data, open({str(AUDIO)!r}, 'rb').read())", VIDEO)
    print(f"  peak extra memory            {extra / 1e6:9.1f} MB   {extra / (len(video) + len(audio)):5.2f}x input")


if __name__ == "__main__":
    main()
