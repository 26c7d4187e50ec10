#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks what went there, builds
# host_program.cpp out of the tree against it twice (through the CMake
# package and through pkg-config) and runs each on a new database file.
#
# Usage: install_test.sh BUILD_DIR CXX_COMPILER "EXTRA_FLAGS" (the flags the
# build compiled and linked with that a program using it needs too, such as
# the sanitizers')
set -euo pipefail
build=$1
cxx=$2
flags=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tav_install_test.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# The library under its versioned name, with the SONAME link a program records.
lib=$(ls "$prefix"/lib/libtav14rd7.so.*.*.* 2>/dev/null | head -1)
[ -n "$lib" ] || fail "no versioned libtav14rd7.so in $prefix/lib"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname =~ ^libtav14rd7\.so\.[0-9]+$ ]] || fail "SONAME is '$soname'"
[ -L "$prefix/lib/$soname" ] || fail "no $soname link"
[ -L "$prefix/lib/libtav14rd7.so" ] || fail "no libtav14rd7.so link"

# Headers: the components and the host class library, never a test helper.
inc=$prefix/include/tavrin
for h in engine/components/tav_database.h engine/components/tav_table.h host/db/data_set.h \
         host/classes/component.h host/rtl/string_list.h engine/storage/base/tav_errors.h; do
  [ -f "$inc/$h" ] || fail "header $h not installed"
done
# (Outputs are taken whole before they are searched: under pipefail a
# grep -q that stops reading early fails its writer with SIGPIPE.)
helpers=$(find "$inc" -path '*testing*' -o -name '*_test*')
[ -z "$helpers" ] || fail "test helpers installed: $helpers"
[ -f "$prefix/lib/cmake/Tavrin/TavrinConfig.cmake" ] || fail "no CMake package"
[ -f "$prefix/lib/pkgconfig/tavrin.pc" ] || fail "no pkg-config file"

# Through the CMake package, as a program of its own (the build tree's
# sources and include folders out of reach: only the prefix is named).
cmake -S "$here" -B "$work/with-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="$flags -Wall -Wextra -Werror" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
      >"$work/configure.log" || { cat "$work/configure.log"; fail "configure against the package"; }
cmake --build "$work/with-cmake" >"$work/build.log" || { cat "$work/build.log"; fail "build against the package"; }
"$work/with-cmake/host_program" "$work/through_cmake.tav"

# Through pkg-config, with the compiler alone.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a cflags <<<"$(pkg-config --cflags tavrin)"
read -r -a libs <<<"$(pkg-config --libs tavrin)"
read -r -a extra <<<"$flags"
"$cxx" -std=c++20 -Wall -Wextra -Werror "${extra[@]}" "${cflags[@]}" "$here/host_program.cpp" \
       -o "$work/host_program_pc" "${libs[@]}" || fail "build through pkg-config"
LD_LIBRARY_PATH=$prefix/lib "$work/host_program_pc" "$work/through_pkg_config.tav"

# The programs load the installed library, not the build tree's.
loaded=$(ldd "$work/with-cmake/host_program")
grep -q "$prefix/lib/libtav14rd7.so" <<<"$loaded" ||
  fail "the package build does not load $prefix/lib: $(grep tav14rd7 <<<"$loaded")"
echo "install test passed"
