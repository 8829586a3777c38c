#!/usr/bin/env bash
# The whole test suite against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a virtualenv and build folder of its own. The sanitizer
# runtimes are preloaded into the interpreter; any report aborts the process and fails the
# run. Leak checking stays off: the interpreter itself keeps memory alive at exit. The memory
# and time bounds are left to the normal build: the sanitizers' shadow memory and
# quarantine are what such a test would measure here.
set -euo pipefail
cd "$(dirname "$0")/../.."

venv="$PWD/build/asan-venv"
[ -x "$venv/bin/python" ] || python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q scikit-build-core
"$venv/bin/python" -m pip install -q --no-build-isolation ".[test]" \
  -Ccmake.define.PLEXO_SANITIZE=ON -Cbuild-dir=build/asan

runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
cd build   # import the installed module, not the sources
LD_PRELOAD="$runtimes" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider ../tests \
    -m "not distributed and not memory_bound"
