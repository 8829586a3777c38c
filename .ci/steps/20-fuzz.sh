#!/usr/bin/env bash
# Fuzzing: builds every target under fuzz/ with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang from Debian), then runs each for a fixed time, seeded
# with the real media under tests/fixtures and with the committed inputs that once failed
# (fuzz/corpus/<target>/, which run first as regression cases). Any finding fails the step;
# the input that found it is left in build/fuzz-findings/ and printed as hex.
#   FUZZ_SECONDS   seconds per target (default 40); FUZZ_JOBS   targets at once (default 2)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-40}"
jobs="${FUZZ_JOBS:-2}"
root="$PWD"
build="$root/build/fuzz"
seeds="$root/build/fuzz-seeds"
work="$root/build/fuzz-work"
findings="$root/build/fuzz-findings"
fixtures="$root/tests/fixtures"

if ! command -v clang++ >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang >/dev/null
fi
command -v cmake >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1 \
  || python3 -m pip install -q cmake ninja

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

# Seeds, by what each target reads. Files that belong together (a video and an audio fMP4;
# an initialisation segment and its media segments) are laid end to end, which is how the
# two-input targets cut them apart again.
rm -rf "$seeds" "$work" "$findings"
mkdir -p "$seeds" "$work" "$findings"
hls() { cat "$1/init.mp4" $(ls "$1"/seg*.m4s | sort -V); }
for target in convert_ts thumbnail_ts files_ts; do
  mkdir -p "$seeds/$target"
  cp "$fixtures"/*.ts "$fixtures"/*.m2ts "$seeds/$target/"
done
# The segmenter's first byte chooses the pieces the stream is pushed in and the fragment
# duration: 1-byte pieces at 0.1 s, a quarter of the stream at 0.5 s, 102-byte pieces at 2 s.
mkdir -p "$seeds/ts_segmenter"
for stream in "$fixtures"/*.ts "$fixtures"/*.m2ts; do
  for choice in 00 bb 65; do
    { printf "\\x$choice"; cat "$stream"; } >"$seeds/ts_segmenter/$choice-$(basename "$stream")"
  done
done
# The whole-stream fMP4's first byte chooses its fragment duration: 0.1 s, 0.5 s, 2 s.
mkdir -p "$seeds/convert_ts_fmp4"
for stream in "$fixtures"/*.ts "$fixtures"/*.m2ts; do
  for choice in 00 01 02; do
    { printf "\\x$choice"; cat "$stream"; } >"$seeds/convert_ts_fmp4/$choice-$(basename "$stream")"
  done
done
for target in defragment reset convert_mp4_reset thumbnail_mp4 probe files; do
  mkdir -p "$seeds/$target"
  cp "$fixtures"/*.mp4 "$seeds/$target/"
  hls "$fixtures/hls_v" >"$seeds/$target/hls_v.mp4"
  hls "$fixtures/hls_av" >"$seeds/$target/hls_av.mp4"
done
mkdir -p "$seeds/mux" "$seeds/segments"
cat "$fixtures/frag_video_only.mp4" "$fixtures/frag_audio_only.mp4" >"$seeds/mux/video_audio.mp4"
cat "$fixtures/prog_video_only.mp4" "$fixtures/prog_audio_only.mp4" >"$seeds/mux/progressive.mp4"
for audio in "$fixtures"/mux_audio_*.mp4; do
  cat "$fixtures/mux_video.mp4" "$audio" >"$seeds/mux/$(basename "$audio")"
done
{ hls "$fixtures/hls_v"; cat "$fixtures/frag_audio_only.mp4"; } >"$seeds/mux/hls_video_audio.mp4"
hls "$fixtures/hls_v" >"$seeds/segments/hls_v.mp4"
hls "$fixtures/hls_av" >"$seeds/segments/hls_av.mp4"

run_target() {
  local target="$1"
  local corpus=("$work/$target" "$seeds/$target")
  mkdir -p "$work/$target"
  [ -d "fuzz/corpus/$target" ] && corpus+=("fuzz/corpus/$target")
  "$build/fuzz_$target" -dict=fuzz/plexo.dict -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
      "${corpus[@]}" >"$work/$target.log" 2>&1
}

targets=(convert_ts defragment mux reset convert_mp4_reset thumbnail_ts thumbnail_mp4 segments probe files
         ts_segmenter files_ts convert_ts_fmp4)
declare -A pid
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$target" &
  pid[$target]=$!
done

failed=0
for target in "${targets[@]}"; do
  status=0
  wait "${pid[$target]}" || status=$?
  stats=$(grep -E '^stat::|^#[0-9]+.*DONE' "$work/$target.log" | tr '\n' ' ')
  echo "fuzz_$target: exit $status; $stats"
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -n 60 "$work/$target.log"
  fi
done
for artifact in "$findings"/*; do
  [ -e "$artifact" ] || continue
  failed=1
  echo "finding: $artifact ($(stat -c %s "$artifact") bytes)"
  head -c 512 "$artifact" | od -An -tx1 | head -n 32
done
exit "$failed"
