#!/usr/bin/env bash
# The browser tier: converted and defragmented fixtures played to the end in headless
# chromium (Debian's package) driven by Playwright (from PyPI). The package itself was
# installed by .ci/run before the steps.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v chromium >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq chromium >/dev/null
fi
python3 -c "import playwright" 2>/dev/null || python3 -m pip install -q playwright
python3 -c "import pytest_rerunfailures" 2>/dev/null || python3 -m pip install -q pytest-rerunfailures

# A player on a busy machine now and then counts a frame it decoded twice; a file that does
# not play fails both runs.
CI=true PLEXO_BROWSER_TESTS=1 python3 -m pytest -q --reruns 1 tests/test_browser_playback.py
