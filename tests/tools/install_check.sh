#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the prefix elsewhere (an installed tree
# must be relocatable and must not need the build tree), then checks from the moved tree:
#   - every public header compiles alone as C99 (-pedantic) and as C++;
#   - examples/ builds with CMake's find_package(kxlib) and with pkg-config, both link the
#     installed libkxlib and count frames of a stream served by the installed kxserve;
#   - the installed library and programs load their plug-ins from <prefix>/lib/kxlib
#     (the example's decoder; kxplay's decoder and JPEG snapshot).
#
#   install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?usage: install_check.sh BUILD_DIR SOURCE_DIR}" && pwd)
src=$(cd "${2:?usage: install_check.sh BUILD_DIR SOURCE_DIR}" && pwd)

work=$(mktemp -d /tmp/kx-install-check.XXXXXX)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install check: $*" >&2; exit 1; }
step() { echo "-- $*"; }

step "install into a temporary prefix and move it"
cmake --install "$build" --prefix "$work/staged" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
mv "$work/staged" "$work/prefix"
P=$work/prefix
for f in include/kx/rtspclient.h lib/libkxlib.so lib/pkgconfig/kxlib.pc lib/cmake/kxlib/kxlibConfig.cmake \
         lib/cmake/kxlib/kxlibConfigVersion.cmake lib/kxlib/libavcsink.so lib/kxlib/libavcforge.so \
         lib/kxlib/libhevcsink.so lib/kxlib/libGlyphor.so lib/kxlib/libpicpress.so \
         bin/player bin/kxplay bin/kxserve bin/kxrecord bin/kxdoc; do
  [ -e "$P/$f" ] || fail "$f not installed"
done
soname=$(readelf -d "$P/lib/libkxlib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkxlib.so.0 ] || fail "SONAME is '$soname'"
[ "$(readlink "$P/lib/libkxlib.so.0")" = "$(basename "$(readlink -f "$P/lib/libkxlib.so")")" ] || fail "libkxlib.so.0 link"
# Nothing installed may point back into the build or source tree.
if grep -rlF -e "$build" -e "$src" "$P/lib/pkgconfig" "$P/lib/cmake"; then fail "installed files name the build tree"; fi

step "public headers compile alone as C99 and C++"
n=0
for h in "$P"/include/kx/*.h; do
  name=kx/$(basename "$h")
  printf '#include <%s>\n' "$name" >"$work/one.c"
  cc -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$P/include" "$work/one.c" || fail "$name as C99"
  c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$P/include" -x c++ "$work/one.c" || fail "$name as C++"
  n=$((n + 1))
done
[ "$n" -gt 0 ] || fail "no public headers"
echo "$n headers"

step "example with find_package(kxlib)"
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$src/examples" -B "$work/example-cmake" "${gen[@]}" -DCMAKE_PREFIX_PATH="$P" >"$work/example.log" 2>&1 ||
  { cat "$work/example.log"; fail "examples/ does not configure"; }
cmake --build "$work/example-cmake" >>"$work/example.log" 2>&1 || { cat "$work/example.log"; fail "examples/ does not build"; }

step "example with pkg-config"
export PKG_CONFIG_PATH=$P/lib/pkgconfig
[ "$(pkg-config --modversion kxlib)" = "$(sed -n 's/^Version: //p' "$P/lib/pkgconfig/kxlib.pc")" ] || fail "pkg-config"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror "$src/examples/frame_count.c" -o "$work/frame_count_pc" \
  $(pkg-config --cflags --libs kxlib) -Wl,-rpath,"$(pkg-config --variable=libdir kxlib)" || fail "pkg-config build"

for exe in "$work/example-cmake/frame_count" "$work/frame_count_pc"; do
  lib=$(ldd "$exe" | sed -n 's/.*libkxlib.so.0 => \([^ ]*\).*/\1/p')
  [ "$(readlink -f "$lib")" = "$(readlink -f "$P/lib/libkxlib.so.0")" ] || fail "$exe links '$lib'"
done

step "installed kxserve serving a clip"
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 -g 25 -bf 0 \
  -pix_fmt yuv420p -f h264 "$work/clip.h264" || fail "ffmpeg could not make the clip"
mkdir "$work/run"
cd "$work/run"  # no plug-in in the working directory
# Programs run by their bare names, found on the path.
export PATH=$P/bin:$PATH
kxserve --listen 127.0.0.1:0 --live /live="$work/clip.h264" --quiet >"$work/kxserve.out" 2>&1 &
server=$!
port=
for _ in $(seq 200); do
  port=$(sed -n 's/.*kxserve: listening rtsp:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/kxserve.out")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/kxserve.out"; fail "kxserve did not listen"; }
url=rtsp://127.0.0.1:$port/live

# The library and programs must take their plug-ins from the moved prefix: the dynamic
# linker's record of every file it opened shows where each came from (written to files of
# its own, as programs may send their standard error elsewhere).
ld_debug() { # log command...
  local log=$1; shift
  rm -f "$log".*
  LD_DEBUG=files LD_DEBUG_OUTPUT=$log "$@"
  local rc=$?
  cat "$log".* >"$log" 2>/dev/null || true
  return $rc
}
loaded_from_prefix() { # ld-debug-log plug-in...
  local log=$1; shift
  for p in "$@"; do
    local file
    file=$(sed -n "s/.*file=\([^ ]*\/$p\) \[0\]; *dynamically loaded.*/\1/p" "$log" | head -n 1)
    [ -n "$file" ] || fail "$p was not loaded"
    [ "$(readlink -f "$file")" = "$(readlink -f "$P/lib/kxlib/$p")" ] || fail "$p loaded from $file, not from $P/lib/kxlib"
  done
  if grep "file=" "$log" | grep -q -F -e "$build" -e "$src"; then fail "a file of the build tree was loaded"; fi
}

step "examples count frames from $url"
for exe in "$work/example-cmake/frame_count" "$work/frame_count_pc"; do
  ld_debug "$work/ld.log" timeout 30 "$exe" "$url" 2 "$work/example.liblog" >"$work/count.out" ||
    { cat "$work/count.out"; fail "$exe failed"; }
  cat "$work/count.out"
  grep -q '^frames [1-9][0-9]* in' "$work/count.out" || fail "$exe counted no frames"
  grep -q '^first key frame [1-9][0-9]* bytes, picture 320x240$' "$work/count.out" || fail "$exe: key frame"
  loaded_from_prefix "$work/ld.log" libavcsink.so
done

step "installed kxplay decodes and writes a JPEG snapshot"
ld_debug "$work/ld.log" timeout 30 kxplay --frames 5 --snapshot "$work/x.jpg" --quiet "$url" >"$work/kxplay.out" 2>&1 ||
  { cat "$work/kxplay.out"; fail "kxplay failed"; }
cat "$work/kxplay.out"
grep -q "snapshot 320x240 written" "$work/kxplay.out" || fail "no snapshot"
[ "$(head -c 3 "$work/x.jpg" | od -An -tx1 | tr -d ' ')" = ffd8ff ] || fail "the snapshot is not a JPEG"
loaded_from_prefix "$work/ld.log" libavcsink.so libpicpress.so

step "installed programs answer --help"
for p in player kxplay kxserve kxrecord kxdoc; do
  timeout 10 "$p" --help >"$work/help.out" 2>&1 || fail "$p --help failed"
  grep -q -- "--help" "$work/help.out" || fail "$p --help lists no options"
done
echo "install check: passed"
