#!/usr/bin/env bash
# Builds Corvantel's Debian packages, corvantel (the service and corvctl) and
# corvantel-client (the client and its menu entry), into build-deb/, and checks
# them with lintian. Run as root on Debian 12 (it calls setup.sh).
#
#   scripts/package.sh              configure and build as Debian builds a
#                                   package (dpkg-buildpackage), then package
#   scripts/package.sh --from DIR   package the programs of DIR, a CMake tree
#                                   of this source that is built already,
#                                   without compiling anything (the test
#                                   command packages its tested build so)
#
# The packages are built from a copy of the source tree in build-deb/src, so
# that the build leaves nothing in the tree itself; the debug symbols go to
# build-deb/debug/. Install with: apt install ./build-deb/corvantel*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

from=
case "${1:-}" in
  --from)
    [ -n "${2:-}" ] || { echo "usage: package.sh [--from BUILD_DIR]" >&2; exit 2; }
    from=$(realpath "$2")
    [ -f "$from/CMakeCache.txt" ] || { echo "package.sh: $from is not a CMake build tree" >&2; exit 2; }
    ;;
  "") ;;
  *) echo "usage: package.sh [--from BUILD_DIR]" >&2; exit 2 ;;
esac

scripts/setup.sh

out=$top/build-deb
rm -rf "$out"
mkdir -p "$out/src" "$out/debug"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$out/src"

started=$SECONDS
(
  cd "$out/src"
  if [ -n "$from" ]; then
    export CORVANTEL_BUILD_TREE=$from
  else
    # A second build of the same source compiles only what changed.
    if command -v ccache >/dev/null; then
      export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    fi
    export DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
  fi
  dpkg-buildpackage -b --no-sign >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
  }
)
mv "$out"/*-dbgsym_*.deb "$out/debug/" 2>/dev/null || true
echo "packages built in $((SECONDS - started)) s:"
(cd "$out" && ls -l ./*.deb)

# Errors and warnings fail; informational tags are shown.
echo "== lintian"
started=$SECONDS
lintian --allow-root --fail-on error,warning --display-info "$out"/*.deb
echo "lintian: no errors, no warnings ($((SECONDS - started)) s)"
