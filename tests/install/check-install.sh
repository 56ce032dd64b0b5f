#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds two applications against it: one through
# the CMake package, one through pkg-config. Both must run and print the same line.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" > "$scratch/install.log"
test -L "$scratch/prefix/lib/libTaviSDK.so"
ls "$scratch"/prefix/lib/libTaviSDK.so.1 > /dev/null
objdump -p "$scratch"/prefix/lib/libTaviSDK.so | grep -q 'SONAME *libTaviSDK.so.1'

cmake -S "$source_dir/consumer" -B "$scratch/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" > /dev/null
cmake --build "$scratch/cmake-consumer" > /dev/null
by_cmake=$(LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/cmake-consumer/consumer")

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
c++ -std=c++20 "$source_dir/consumer/main.cpp" $(pkg-config --cflags --libs TaviSDK) -o "$scratch/pc-consumer"
by_pkg_config=$(LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/pc-consumer")

# A C caller builds the flat-interface example as strict C99, through the package and through pkg-config.
examples_dir=$(cd "$source_dir/../../examples/c" && pwd)
cmake -S "$examples_dir" -B "$scratch/c-example" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" > /dev/null
cmake --build "$scratch/c-example" > /dev/null
cc -std=c99 -pedantic -Werror "$examples_dir/flat_camera.c" $(pkg-config --cflags --libs TaviSDK) -o "$scratch/c-pc-example"

test "$by_cmake" = "192.168.1.10 6"
test "$by_pkg_config" = "$by_cmake"
# Only the interface is exported: internal helpers stay hidden.
if nm -D --defined-only "$scratch"/prefix/lib/libTaviSDK.so | grep -q 'FormatIpText'; then
    echo "internal symbols are exported" >&2
    exit 1
fi
# The Python package finds the installed library by itself and sees every flat function.
package_dir="$scratch/prefix/lib/python3/dist-packages"
loaded=$(cd "$scratch" && env -u TAVI_SDK_LIBRARY PYTHONPATH="$package_dir" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c \
    'import tavisdk._native as n; library = n.library(); print(library.path, *library.missing)')
test "$loaded" = "$scratch/prefix/lib/libTaviSDK.so.1"
echo "install check passed"
