#!/usr/bin/env bash
# Makes the benchmark pictures from ImageMagick's built-in images (rose:,
# logo:, plasma noise with a fixed seed) into the directory given (default
# bench/pictures). Requires ImageMagick 6 (convert-im6.q16).
#   bench/make_pictures.sh [--small] [DIR]
# --small makes only the pictures up to 512 x 512 (qm5_bench --cases 1,2,3,4),
# for a quick run that shows the benchmark still works (CI).
set -euo pipefail
small=false
if [[ "${1:-}" == --small ]]; then
  small=true
  shift
fi
out=${1:-$(dirname "$0")/pictures}
mkdir -p "$out"
im=convert-im6.q16
# 64 x 64, 40 colours.
$im rose: -resize '64x64!' -dither None -colors 40 -type TrueColor "BMP3:$out/rose64.bmp"
# 256 x 256 photo, 256 colours (dithered, as a photo quantised for a game would be).
$im rose: -resize '256x256!' -colors 256 -type TrueColor "BMP3:$out/rose256.bmp"
# 512 x 512, 256 colours.
$im logo: -resize '512x512!' -colors 256 -type TrueColor "BMP3:$out/logo512.bmp"
# Four 256 x 256 pictures for a list texture.
$im -seed 7 -size 256x256 plasma:fractal -colors 256 -type TrueColor "BMP3:$out/plasma0.bmp"
$im -seed 8 -size 256x256 plasma:fractal -colors 256 -type TrueColor "BMP3:$out/plasma1.bmp"
$im rose: -resize '256x256!' -flop -colors 256 -type TrueColor "BMP3:$out/rose256f.bmp"
$im logo: -resize '256x256!' -colors 256 -type TrueColor "BMP3:$out/logo256.bmp"
printf '4\nplasma0.bmp 0\nplasma1.bmp 0\nrose256f.bmp 0\nlogo256.bmp 0\n' > "$out/four.lst"
$small && exit 0
# 1024 x 1024, 256 colours (b = 20).
$im logo: -resize '1024x1024!' -colors 256 -type TrueColor "BMP3:$out/logo1024.bmp"
# 1024 x 1024 with about 30000 colours, written plain.
$im -seed 9 -size 1024x1024 plasma:fractal -blur 0x2 -colors 30000 -type TrueColor "BMP3:$out/plasma1024.bmp"
# Large textures: flat (16 colours), cartoon (64 colours, large flat areas)
# and dithered photo (256 colours) at 1024, 2048 and 4096 pixels square.
for n in 1024 2048 4096; do
  $im -seed 3 -size 32x32 plasma:fractal -resize "${n}x${n}!" -dither None -colors 16 -type TrueColor "BMP3:$out/flat$n.bmp"
  $im logo: -resize "${n}x${n}!" -dither None -colors 64 -type TrueColor "BMP3:$out/cartoon$n.bmp"
  $im rose: -resize "${n}x${n}!" -colors 256 -type TrueColor "BMP3:$out/photo$n.bmp"
done
