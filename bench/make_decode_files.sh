#!/usr/bin/env bash
# Makes the files of the decode benchmark (bench/qm5_decode_bench.cpp) from
# the benchmark pictures: each picture as a texture plain, with -c and with
# --best (qm5 encode), and as an optimised 8-bit PNG (ImageMagick, then
# optipng), into OUT_DIR:
#
#   bench/make_decode_files.sh QM5 PICTURE_DIR OUT_DIR [--quick]
#
# QM5 is the built qm5 command, PICTURE_DIR the output of
# bench/make_pictures.sh. Two pictures are made here from ImageMagick's
# built-in rose: a 240 x 240 pixel-art enlargement (32 colours, no
# dithering) and a 512 x 512 dithered photo (256 colours). A picture of more
# than 256 colours has no PNG-8, and a mode the picture cannot be written
# in (a colour whose record would pass 65535 bytes) no texture: the
# benchmark says n/a. --quick makes the small pictures only (a brief run,
# as CI does). Requires ImageMagick 6 (convert-im6.q16) and optipng.
set -euo pipefail

if (($# < 3)); then
    echo "usage: $0 QM5 PICTURE_DIR OUT_DIR [--quick]" >&2
    exit 2
fi
qm5=$(realpath "$1")
pictures=$(realpath "$2")
out=$3
quick=${4:-}
im=convert-im6.q16
mkdir -p "$out"
out=$(realpath "$out")

$im rose: -filter point -resize '240x240!' +dither -colors 32 -type TrueColor "BMP3:$out/pixelart240.bmp"
$im rose: -resize '512x512!' -colors 256 -type TrueColor "BMP3:$out/photo512.bmp"

# name: the file the picture comes from, in the benchmark's order.
names=(rose64 pixelart240 rose256 photo512 logo512 logo1024 flat1024 cartoon1024 photo1024 plasma1024)
[[ $quick == --quick ]] && names=(rose64 pixelart240 rose256 logo512)

for name in "${names[@]}"; do
    picture=$out/$name.bmp
    [[ -e $picture ]] || picture=$pictures/$name.bmp
    [[ -e $picture ]] || { echo "$0: no picture $name.bmp in $pictures" >&2; exit 1; }
    rm -f "$out/$name".{plain,c,best}.qm5 "$out/$name.png"
    "$qm5" encode -q "$picture" -o "$out/$name.plain.qm5"
    "$qm5" encode -q -c "$picture" -o "$out/$name.c.qm5" 2>/dev/null || echo "$name: -c cannot write it" >&2
    "$qm5" encode -q --best "$picture" -o "$out/$name.best.qm5" 2>/dev/null || echo "$name: --best cannot write it" >&2
    if (($($im "$picture" -format %k info:) <= 256)); then
        $im "$picture" +dither -colors 256 "PNG8:$out/$name.png"
        optipng -quiet -o2 "$out/$name.png"
    fi
done
printf '%s\n' "${names[@]}" > "$out/names"
