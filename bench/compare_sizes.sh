#!/usr/bin/env bash
# Sizes of the benchmark pictures as Qm5 textures in every mode of
# `qm5 encode` and in the palettised formats a user would otherwise pick,
# with the time of each, as markdown tables:
#
#   bench/compare_sizes.sh QM5 PICTURE_DIR [TIME_LIMIT_SECONDS]
#
# QM5 is the built qm5 command, PICTURE_DIR the output of
# bench/make_pictures.sh. Every texture written is checked with
# `qm5 verify`, every peer file against its picture with ImageMagick's
# compare (0 differing pixels); a mode that fails or passes the time limit
# (default 600 s) says so in its cell. Peers: PNG-8 from ImageMagick then
# `optipng -o7`, GIF from ImageMagick then `gifsicle -O3`, PCX and BMP RLE8
# from ImageMagick; `+dither` keeps ImageMagick's colour reduction from
# moving pixels of pictures that have 256 colours or fewer. Pictures with
# more colours have no lossless peer ("n/a"). For a list file the peers are
# the sums over its pictures. Requires ImageMagick 6 (convert-im6.q16,
# compare-im6.q16, identify-im6.q16), optipng and gifsicle.
set -euo pipefail

if (($# < 2)); then
    echo "usage: $0 QM5 PICTURE_DIR [TIME_LIMIT_SECONDS]" >&2
    exit 2
fi
qm5=$(realpath "$1")
dir=$(realpath "$2")
limit=${3:-600}
im=convert-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# List files name their pictures relative to the working directory.
cd "$dir"

cases=(rose64.bmp rose256.bmp logo512.bmp four.lst logo1024.bmp plasma1024.bmp)

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# Runs a command under the time limit; sets elapsed and returns its status.
timed() {
    local start status
    start=$(now)
    status=0
    timeout "$limit" "$@" >/dev/null 2>&1 || status=$?
    elapsed=$(seconds "$start" "$(now)")
    return "$status"
}

# The pictures of an input: itself, or the entries of a list file.
pictures() {
    local input=$1
    if [[ $input == *.lst ]]; then
        tail -n +2 "$dir/$input" | awk 'NF { print $1 }'
    else
        echo "$input"
    fi
}

# cell for `qm5 encode INPUT MODE...`: "bytes / seconds", checked by verify.
# Also leaves the cube count of the texture in cubes.
qm5_cell() {
    local input=$1
    shift
    local out="$work/t.qm5"
    rm -f "$out"
    cubes=0
    if ! timed "$qm5" encode -q "$input" -o "$out" "$@"; then
        [[ ${elapsed%.*} -ge $limit ]] && cell="> $limit s" || cell="failed"
        return
    fi
    if ! "$qm5" verify -q "$input" "$out" >/dev/null 2>&1; then
        cell="VERIFY FAILED"
        return
    fi
    cubes=$("$qm5" info "$out" | awk '/cubes$/ { sum += $(NF - 1) } END { print sum + 0 }')
    cell="$(stat -c %s "$out") / ${elapsed} s"
}

# cell for a peer format over the input's pictures: make(picture, out) writes
# the file; the sizes and times are summed.
peer_cell() {
    local input=$1 make=$2 ext=$3
    local bytes=0 total=0 picture out colours
    for picture in $(pictures "$input"); do
        colours=$(identify-im6.q16 -format %k "$dir/$picture")
        if ((colours > 256)); then
            cell="n/a ($colours colours)"
            return
        fi
        out="$work/peer.$ext"
        rm -f "$out"
        if ! timed bash -c "$make \"\$1\" \"\$2\"" _ "$dir/$picture" "$out"; then
            cell="failed"
            return
        fi
        if [[ $(compare-im6.q16 -metric AE "$dir/$picture" "$out" null: 2>&1) != 0 ]]; then
            cell="lossy"
            return
        fi
        bytes=$((bytes + $(stat -c %s "$out")))
        total=$(awk -v a="$total" -v b="$elapsed" 'BEGIN { printf "%.2f", a + b }')
    done
    cell="$bytes / $total s"
}

png8() { $im "$1" +dither -colors 256 "PNG8:$2" && optipng -quiet -o7 "$2"; }
gif() { $im "$1" +dither -colors 256 "$2.raw.gif" && gifsicle -O3 "$2.raw.gif" -o "$2"; }
pcx() { $im "$1" +dither -colors 256 "PCX:$2"; }
rle8() { $im "$1" +dither -colors 256 -type Palette -compress RLE "BMP3:$2"; }
export im
export -f png8 gif pcx rle8

echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo); qm5 with its default --jobs."
echo
echo "Bytes / seconds per picture:"
echo
echo "| picture | plain | compressed (-c) | --best | --auto | --auto --best | PNG-8 + optipng -o7 | GIF + gifsicle -O3 | PCX | BMP RLE8 |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
cube_rows=()
for input in "${cases[@]}"; do
    [[ -e $dir/$input ]] || continue
    row="| $input"
    qm5_cell "$input"; row+=" | $cell"
    qm5_cell "$input" -c; row+=" | $cell"; compressed=$cubes; compressed_cell=$cell
    qm5_cell "$input" --best; row+=" | $cell"; best=$cubes; best_cell=$cell
    qm5_cell "$input" --auto; row+=" | $cell"
    qm5_cell "$input" --auto --best; row+=" | $cell"
    for peer in "png8 png" "gif gif" "pcx pcx" "rle8 bmp"; do
        # shellcheck disable=SC2086
        peer_cell "$input" $peer
        row+=" | $cell"
    done
    echo "$row |"
    if ((compressed > 0 && best > 0)); then
        cube_rows+=("| $input | $compressed | $best | $(awk -v d="$compressed" -v b="$best" 'BEGIN { printf "%.1f %%", 100 * (d - b) / d }') | ${compressed_cell#* / } | ${best_cell#* / } |")
    fi
done
echo
echo "Cubes of the compressed textures:"
echo
echo "| picture | cubes (-c) | cubes (--best) | fewer | time (-c) | time (--best) |"
echo "|---|---:|---:|---:|---:|---:|"
for row in "${cube_rows[@]}"; do echo "$row"; done
