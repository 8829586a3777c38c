#!/usr/bin/env bash
# The large tier: multi-gigabyte inputs built in a temporary folder (a 4 GiB-plus transport
# stream, a 10 GB fragmented file, joins of large renditions), run against the module the test
# command installed. About 90 s and 14 GB of memory at its peak; left out of the plain suite.
set -euo pipefail
cd "$(dirname "$0")/../.."
PLEXO_LARGE_TESTS=1 python3 -m pytest -q -p no:cacheprovider \
  tests/test_ts_to_mp4_large.py tests/test_mux_large.py tests/test_files_bounded.py
