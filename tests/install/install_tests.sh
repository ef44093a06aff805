#!/usr/bin/env bash
# install_tests.sh CMAKE BUILD_DIR EXAMPLES_DIR CXX PKG_CONFIG LIBDIR VERSION
# Installs BUILD_DIR into a temporary prefix and builds the example host
# against it twice, with find_package and with pkg-config; both must run and
# write a file, linked to the installed library and to nothing of FFmpeg.
set -euo pipefail

cmake=$1 build=$2 examples=$3 cxx=$4 pkg_config=$5 libdir_name=$6 version=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
libdir=$prefix/$libdir_name
warnings="-Wall -Wextra -Wpedantic -Werror"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }
probe() {
  ffprobe -v error -count_packets -select_streams v:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"

# The usual shared-library chain, with the soname hosts record.
expect_eq "$(readlink "$libdir/libmpegexporter.so")" libmpegexporter.so.0 "development link"
expect_eq "$(readlink "$libdir/libmpegexporter.so.0")" "libmpegexporter.so.$version" "soname link"
soname=$(readelf -d "$libdir/libmpegexporter.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
expect_eq "$soname" libmpegexporter.so.0 "soname"

# Two seconds of 25 fps JPEG pictures, one file each.
mkdir "$work/pictures"
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mjpeg \
  "$work/pictures/%03d.jpg" || fail "ffmpeg could not make the pictures"
pictures=("$work"/pictures/*.jpg)
expect_eq "${#pictures[@]}" 50 "pictures made"

# check_host EXECUTABLE OUTPUT: the host loads the installed library by its
# soname, runs, and writes all 50 pictures at 25 fps.
check_host() {
  local host=$1 output=$2 needed resolved
  needed=$(readelf -d "$host" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  grep -qx libmpegexporter.so.0 <<<"$needed" || fail "$host does not need libmpegexporter.so.0: $needed"
  resolved=$(ldd "$host" | sed -n 's/.*libmpegexporter\.so\.0 => \([^ ]*\).*/\1/p')
  expect_eq "$(realpath "$resolved")" "$(realpath "$libdir/libmpegexporter.so.0")" "library $host loads"

  "$host" "$output" 160 120 "${pictures[@]}" >"$work/stdout" 2>"$work/stderr" ||
    fail "$host exited with $? ($(cat "$work/stderr"))"
  grep -q "^wrote 50 pictures, [0-9]* bytes, to $output\$" "$work/stdout" || fail "summary: $(cat "$work/stdout")"
  expect_eq "$(probe "$output" codec_name)" mjpeg "$output codec"
  expect_eq "$(probe "$output" width)x$(probe "$output" height)" 160x120 "$output size"
  expect_eq "$(probe "$output" nb_read_packets)" 50 "$output pictures"
  expect_eq "$(probe "$output" avg_frame_rate)" 25/1 "$output frame rate"
}

# Compile and link lines name nothing of FFmpeg (the linker would drop an
# unneeded library silently, so the executable alone cannot tell).
no_ffmpeg() { ! grep -E 'lib(av|sw)|-l(av|sw)' <<<"$1" || fail "$2 asks for FFmpeg"; }

# find_package: the package must come from the prefix, not from elsewhere on
# the machine. The build's rpath finds the installed library.
"$cmake" -S "$examples" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$warnings" >"$work/configure.log" 2>&1 ||
  fail "configuring the example: $(cat "$work/configure.log")"
package_dir=$(sed -n 's/^MpegExporter_DIR:PATH=//p' "$work/cmake-host/CMakeCache.txt")
expect_eq "$package_dir" "$libdir/cmake/MpegExporter" "package found"
"$cmake" --build "$work/cmake-host" --verbose >"$work/build.log" 2>&1 ||
  fail "building the example: $(cat "$work/build.log")"
no_ffmpeg "$(cat "$work/build.log")" "the build with MpegExporter::mpegexporter"
check_host "$work/cmake-host/export_video" "$work/from-cmake.mp4"

# pkg-config, searching our .pc alone: had it required FFmpeg's modules, this
# would fail. The headers must not pull in FFmpeg's either.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
unset PKG_CONFIG_PATH
expect_eq "$("$pkg_config" --modversion mpegexporter)" "$version" "pkg-config version"
flags=$("$pkg_config" --cflags --libs mpegexporter) || fail "pkg-config found no mpegexporter"
no_ffmpeg "$flags" "pkg-config's flags"
# shellcheck disable=SC2086 # the flags are words
headers=$("$cxx" -std=c++17 $flags -M "$examples/export_video.cpp") || fail "preprocessing the example"
! grep -E '/lib(av|sw)[a-z]*/' <<<"$headers" || fail "the public headers include FFmpeg's"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $warnings "$examples/export_video.cpp" $flags -o "$work/pc-host" 2>"$work/build.log" ||
  fail "compiling with pkg-config flags: $(cat "$work/build.log")"
export LD_LIBRARY_PATH
LD_LIBRARY_PATH=$("$pkg_config" --variable=libdir mpegexporter)
check_host "$work/pc-host" "$work/from-pkg-config.mov"

# A failed FFmpeg call reaches the host as AvException, caught by type.
status=0
"$work/pc-host" "$work/missing/out.mp4" 160 120 "${pictures[0]}" 2>"$work/stderr" || status=$?
expect_eq "$status" 1 "exit status for an unwritable output"
grep -q '(error 2)$' "$work/stderr" || fail "no ENOENT from AvException: $(cat "$work/stderr")"
echo "install: both hosts built against $prefix and wrote their files"
