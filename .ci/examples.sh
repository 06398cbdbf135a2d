#!/usr/bin/env bash
# libqm5 as a program outside this tree sees it. Installs a build into a
# temporary prefix, builds examples/ against the installed tree three ways
# (the CMake package with Qm5::qm5 and with Qm5::qm5_static, and plain
# compiler commands with pkg-config), and the C example as a C-only
# program linking the static library (examples/c_only with CMake, and with
# pkg-config --static), and runs each build on pictures made
# here: the texture the C++ example writes from raw RGBA must be byte for
# byte the one `qm5 encode` writes from the same picture, in every mode, and
# the PPM files the C example writes from a texture of `qm5 encode` must hold
# the pictures.
#   .ci/examples.sh [BUILD_DIR]   (default build; configured and built when needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
[[ -f "$build/CMakeCache.txt" ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc="$(find "$prefix" -name qm5.pc)"
libdir="$(dirname "$(dirname "$pc")")"
echo "installed: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"

# Picture NAME INDEX: 32 x 16 pixels of 32 colours, as a top-left 32-bit TGA
# (qm5 encode reads it), as raw RGBA and as the PPM a decoder must give.
picture() {
  local name="$1" shift="$2" tga='\0\0\2\0\0\0\0\0\0\0\0\0\40\0\20\0\40\50' rgba='' ppm='' x y r g b
  for ((y = 0; y < 16; y++)); do
    for ((x = 0; x < 32; x++)); do
      r=$(( ((x / 8 + shift) % 4) * 80 )) g=$(( (y / 4) * 60 )) b=$(( ((x + y) % 2) * 200 ))
      printf -v tga '%s\\%03o\\%03o\\%03o\\377' "$tga" "$b" "$g" "$r"
      printf -v rgba '%s\\%03o\\%03o\\%03o\\377' "$rgba" "$r" "$g" "$b"
      printf -v ppm '%s\\%03o\\%03o\\%03o' "$ppm" "$r" "$g" "$b"
    done
  done
  printf "$tga" >"$work/$name.tga"
  printf "$rgba" >"$work/$name.rgba"
  { printf 'P6\n32 16\n255\n'; printf "$ppm"; } >"$work/$name.ppm"
}
picture one 0
picture two 1
printf '2\none.tga 0\ntwo.tga 0\n' >"$work/both.lst"

# The textures of the qm5 command, with the flags of each mode (list entries
# are named from the current directory).
qm5="$(cd "$build" && pwd)/cli/qm5"
declare -A flags=([plain]="" [compressed]="-c" [best]="--best" [auto]="--auto")
for mode in "${!flags[@]}"; do
  # shellcheck disable=SC2086
  "$qm5" encode "$work/one.tga" -o "$work/cmd-$mode.qm5" -q ${flags[$mode]}
done
(cd "$work" && "$qm5" encode both.lst -o both.qm5 -q -c)

# Runs the examples built in directory $1.
check() {
  local bin="$1" mode
  for mode in "${!flags[@]}"; do
    "$bin/rgba_to_qm5" 32 16 "$work/one.rgba" "$work/lib-$mode.qm5" "$mode" >/dev/null
    cmp "$work/lib-$mode.qm5" "$work/cmd-$mode.qm5"
  done
  "$bin/qm5_to_ppm" "$work/both.qm5" "$work/out" >/dev/null
  cmp "$work/out-0.ppm" "$work/one.ppm"
  cmp "$work/out-1.ppm" "$work/two.ppm"
  [[ ! -e "$work/out-2.ppm" ]]
  rm -f "$work"/out-* "$work"/lib-*
  echo "$bin: the textures of qm5 encode in every mode; the pictures back from a texture of two"
}

for variant in shared static; do
  static=OFF
  [[ $variant == static ]] && static=ON
  cmake -S examples -B "$work/cmake-$variant" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
    -DQM5_EXAMPLES_STATIC=$static -DCMAKE_C_FLAGS="-Wall -Wextra -pedantic -Werror" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -pedantic -Werror" >/dev/null
  cmake --build "$work/cmake-$variant" -j2 >/dev/null
  check "$work/cmake-$variant"
done

# A C program that links the static library with a C linker: the C++
# runtime must come from the archive's link interface and from Libs.private.
c_only() {
  "$1" "$work/both.qm5" "$work/out" >/dev/null
  cmp "$work/out-0.ppm" "$work/one.ppm"
  cmp "$work/out-1.ppm" "$work/two.ppm"
  rm -f "$work"/out-*
  echo "$1: a C-only program of the static library: the pictures back from a texture of two"
}
cmake -S examples/c_only -B "$work/c-only" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -pedantic -Werror" >/dev/null
cmake --build "$work/c-only" -j2 >/dev/null
c_only "$work/c-only/qm5_to_ppm"

export PKG_CONFIG_PATH="$(dirname "$pc")"
mkdir -p "$work/pkg-config-static"
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror examples/qm5_to_ppm.c $(pkg-config --cflags qm5) \
  $(pkg-config --static --libs qm5 | sed 's/-lqm5 /-Wl,-Bstatic -lqm5 -Wl,-Bdynamic /') \
  -o "$work/pkg-config-static/qm5_to_ppm"
c_only "$work/pkg-config-static/qm5_to_ppm"
mkdir -p "$work/pkg-config"
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror examples/qm5_to_ppm.c $(pkg-config --cflags --libs qm5) \
  -o "$work/pkg-config/qm5_to_ppm"
# shellcheck disable=SC2046
"${CXX:-c++}" -std=c++20 -Wall -Wextra -pedantic -Werror examples/rgba_to_qm5.cpp $(pkg-config --cflags --libs qm5) \
  -o "$work/pkg-config/rgba_to_qm5"
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" check "$work/pkg-config"
