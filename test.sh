#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   build/       normal build: all tests (unit, integration, media, gui, browser, netns)
#                but the long soak session (label soak: cd build-asan && ctest -L soak)
#   build-asan/  ASan + UBSan: unit tests
#   build-tsan/  ThreadSanitizer: tests of threaded code
#   build-fuzz/  clang + libFuzzer + ASan: bounded runs of every fuzz target
# Usage: ./test.sh [ctest arguments...]   e.g. ./test.sh -R control
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
"$root/scripts/deps.sh"

# Discovery of our NDI runtime stays on this host in every test (same-host registry and
# addresses asked directly, no multicast); tests that build their own network namespaces
# choose the interfaces there themselves.
export DESK_RECORDER_NDI_INTERFACES=none

jobs=$(nproc)
configure() { # dir, extra cmake args...
  local dir=$1; shift
  # Always re-run: subsystem folders join the build by their presence.
  cmake -S . -B "$dir" -G Ninja "$@" > /dev/null
}

status=0
run_ctest() { # dir, ctest args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") || status=1
}

configure build
cmake --build build -j "$jobs"
# Long runs join with DR_LONG_TESTS=1: label "longrun" (e.g. fifteen minutes of audio) in
# this tree; the ASan soak (label "soak") runs with `cd build-asan && ctest -L soak`.
excluded=soak
[ -n "${DR_LONG_TESTS:-}" ] || excluded='soak|longrun'
run_ctest build -LE "$excluded" "$@"

if [ $# -eq 0 ] || [ -n "${DR_SANITIZERS:-}" ]; then
  configure build-asan -DDR_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
  cmake --build build-asan -j "$jobs" --target unit_tests
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan -L unit

  configure build-tsan -DDR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
  cmake --build build-tsan -j "$jobs" --target tsan_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
    run_ctest build-tsan -L tsan

  configure build-fuzz -DDR_FUZZ=ON -DDR_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build build-fuzz -j "$jobs" --target fuzz_targets
  ASAN_OPTIONS=detect_leaks=1 run_ctest build-fuzz -L fuzz
fi

exit $status
