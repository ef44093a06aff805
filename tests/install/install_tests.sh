#!/usr/bin/env bash
# install_tests.sh CMAKE BUILD_DIR EXAMPLES_DIR CXX PKG_CONFIG LIBDIR VERSION
# Installs BUILD_DIR into a temporary prefix and builds the example host
# against it twice, with find_package and with pkg-config; both must run and
# write a file, linked to the installed library and to nothing of FFmpeg.
set -euo pipefail
cmake=$1 build=$2 examples=$3 cxx=$4 pkg_config=$5 libdir_name=$6 version=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix libdir=$work/prefix/$libdir_name warnings="-Wall -Wextra -Wpedantic -Werror"
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }
# Compile and link lines name nothing of FFmpeg (the linker would drop an
# unneeded library silently, so the executable alone cannot tell).
no_ffmpeg() { ! grep -E 'lib(av|sw)|-l(av|sw)' <<<"$1" || fail "$2 asks for FFmpeg"; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/log" 2>&1 || fail "cmake --install: $(cat "$work/log")"
expect_eq "$(readlink "$libdir/libmpegexporter.so")" libmpegexporter.so.0 "development link"
expect_eq "$(readlink "$libdir/libmpegexporter.so.0")" "libmpegexporter.so.$version" "soname link"
expect_eq "$(readelf -d "$libdir/libmpegexporter.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" \
  libmpegexporter.so.0 "soname"
mkdir "$work/pictures"
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mjpeg "$work/pictures/%03d.jpg"
pictures=("$work"/pictures/*.jpg)

# check_host EXECUTABLE OUTPUT: the host loads the installed library by its
# soname, runs, and writes all 50 pictures at 25 fps.
check_host() {
  readelf -d "$1" | grep -q '(NEEDED).*\[libmpegexporter.so.0\]' || fail "$1 does not need libmpegexporter.so.0"
  expect_eq "$(realpath "$(ldd "$1" | sed -n 's/.*libmpegexporter\.so\.0 => \([^ ]*\).*/\1/p')")" \
    "$(realpath "$libdir/libmpegexporter.so.0")" "library $1 loads"
  "$1" "$2" 160 120 "${pictures[@]}" >"$work/stdout" 2>"$work/stderr" || fail "$1 exited with $? ($(cat "$work/stderr"))"
  grep -q "^wrote 50 pictures, [0-9]* bytes, to $2\$" "$work/stdout" || fail "summary: $(cat "$work/stdout")"
  expect_eq "$(ffprobe -v error -count_packets -select_streams v:0 -show_entries \
    stream=codec_name,width,height,nb_read_packets,avg_frame_rate -of csv=p=0 "$2")" "mjpeg,160,120,25/1,50" "$2"
}

# find_package must take the package from the prefix; the rpath finds the library.
"$cmake" -S "$examples" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$warnings" >"$work/log" 2>&1 || fail "configuring the example: $(cat "$work/log")"
expect_eq "$(sed -n 's/^MpegExporter_DIR:PATH=//p' "$work/cmake-host/CMakeCache.txt")" "$libdir/cmake/MpegExporter" \
  "package found"
"$cmake" --build "$work/cmake-host" --verbose >"$work/log" 2>&1 || fail "building the example: $(cat "$work/log")"
no_ffmpeg "$(cat "$work/log")" "the build with MpegExporter::mpegexporter"
check_host "$work/cmake-host/export_video" "$work/from-cmake.mp4"

# pkg-config with our .pc alone: had it required FFmpeg's modules, this would
# fail. Nor may the public headers include FFmpeg's.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
unset PKG_CONFIG_PATH
expect_eq "$("$pkg_config" --modversion mpegexporter)" "$version" "pkg-config version"
flags=$("$pkg_config" --cflags --libs mpegexporter)
no_ffmpeg "$flags" "pkg-config's flags"
# shellcheck disable=SC2086 # the flags are words
! "$cxx" -std=c++17 $flags -M "$examples/export_video.cpp" | grep -E '/lib(av|sw)[a-z]*/' ||
  fail "the public headers include FFmpeg's"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $warnings "$examples/export_video.cpp" $flags -o "$work/pc-host" || fail "compiling with pkg-config"
check_host "$work/pc-host" "$work/from-pkg-config.mov"

# The README's host sample compiles against the installed headers alone.
sed -n '/^```cpp$/,/^```$/{/^```/d;p}' "$examples/../README.md" >"$work/readme_host.cpp"
[ -s "$work/readme_host.cpp" ] || fail "the README has no host sample"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $warnings -c "$work/readme_host.cpp" $flags -o "$work/readme_host.o" ||
  fail "the README's host sample does not compile"
echo "install: both hosts built against $prefix and wrote their files; the README's sample compiles"
