#!/bin/sh
# Installs what is missing, builds, and runs every test: once on the normal
# build and once on a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short run of every fuzz target.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

scripts/build.sh build
# As many at a time as there are cores: most process tests wait on their
# peers, and the second run against the installed, fully static programs
# (label "static") would otherwise add minutes.
(cd build && ctest -j "$(nproc)" --output-on-failure)

# A short run of every fuzz target (clang, libFuzzer, ASan + UBSan).
fuzz/run.sh 0.25

scripts/build.sh build-sanitize -DOSTREL_SANITIZE=ON
# libfaketime is preloaded by some tests, ahead of the sanitizer runtime.
export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-sanitize && ctest -j "$(nproc)" --output-on-failure)
