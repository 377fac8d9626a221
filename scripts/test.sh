#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test:
#  1. the normal build (gcc) and all CTest tests;
#  2. a second build of the daemon and platform with clang, AddressSanitizer
#     and UndefinedBehaviorSanitizer, its tests, and each libFuzzer target for
#     a short, bounded time (FUZZ_SECONDS, default 30) from its seed corpus;
#  3. the Debian packages made from the programs of build 1 (no third
#     compile), checked with lintian and for their contents, and installed,
#     upgraded, removed and purged in a Debian 12 chroot.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/setup.sh

jobs=$(nproc)
status=0

echo "== build (gcc)"
scripts/build.sh build -DCORVANTEL_BUILD_TESTS=ON
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300 || status=1

# The chroot for the package test (debootstrap from the package mirror, about
# three minutes unless a kept one is fresh) is made while the second build
# compiles; the package test waits for it.
packaging/tests/debian_chroot.sh prepare >build/debian-chroot.log 2>&1 &

echo "== build (clang, ASan + UBSan, fuzz targets)"
CC=clang CXX=clang++ scripts/build.sh build-sanitize -DCORVANTEL_BUILD_TESTS=ON -DCORVANTEL_SANITIZE=ON -DCORVANTEL_FUZZ=ON
echo "== tests under the sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 600 -E '^COdbc' || status=1
# The ODBC drivers keep allocations that the driver manager's unload leaves
# behind; LeakSanitizer then sees leaks in code that is gone and can neither
# name nor suppress them. These tests run under ASan and UBSan without the
# leak check.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs" --timeout 600 -R '^COdbc' || status=1

echo "== fuzzing, ${FUZZ_SECONDS:-30} s per target"
for fuzzer in build-sanitize/fuzz/*_fuzz; do
  name=$(basename "$fuzzer" _fuzz)
  work=$(mktemp -d)
  cp -r "$top/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  if "$fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/" "$work" >"$work.log" 2>&1; then
    echo "fuzz $name: no findings ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$work.log" | awk '{print $2}') runs)"
  else
    echo "fuzz $name: FAILED"; tail -n 60 "$work.log"; status=1
  fi
  rm -rf "$work" "$work.log"
done

echo "== Debian packages: the programs of the gcc build, lintian, contents, life in a chroot"
if scripts/package.sh --from build; then
  packaging/tests/deb_contents_test.sh build-deb || status=1
  wait || true  # the chroot being made; the install test makes it itself if this failed
  packaging/tests/deb_install_test.sh build-deb build/platform/tools/corvctl/corvctl || status=1
else
  status=1
fi

exit $status
