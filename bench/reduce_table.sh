#!/usr/bin/env bash
# The colour-reduction table: for each truecolour benchmark picture, the
# texture of our reduction at qualities 30, 34 and 38 dB against the best
# pngquant recipe followed by `qm5 encode --auto --best`, as markdown:
#
#   bench/reduce_table.sh QM5 REDUCE_BENCH PICTURE_DIR [WORK_DIR]
#
# QM5 is the built qm5 command, REDUCE_BENCH the built qm5_reduce_bench
# (cmake -DQM5_BENCH=ON; target qm5_reduce_bench), PICTURE_DIR the output of
# bench/make_truecolour.sh. WORK_DIR (default: a temporary folder) keeps
# the recipe's figures between runs (recipe.tsv): delete it to measure them
# again.
#
# The recipe: pngquant with and without dithering (--nofs) at 2 to 256
# colours (steps of about sqrt 2), each then `qm5 encode --auto --best`.
# Its best at a PSNR is the fewest bytes of any recipe point with at least
# that PSNR, interpolated in log bytes between the points of that frontier;
# "equal PSNR" compares ours with it at our PSNR, and with the frontier's
# SSIM there. Ours: `qm5 encode --quality Q --auto --best -j 1`, its CPU
# seconds (user + system) those of the whole encode, the reduction
# included. PSNR and SSIM come from qm5_reduce_bench measure on the
# texture decoded. The encode is also run with -j 2 and must give the same
# bytes ("-j" column).
# Requires ImageMagick 6 (convert-im6.q16), pngquant, GNU time and python3.
set -euo pipefail

if (($# < 3)); then
    echo "usage: $0 QM5 REDUCE_BENCH PICTURE_DIR [WORK_DIR]" >&2
    exit 2
fi
qm5=$(realpath "$1")
bench=$(realpath "$2")
dir=$(realpath "$3")
if (($# >= 4)); then
    work=$(realpath -m "$4")
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
im=convert-im6.q16
qualities=(30 34 38)
counts=(2 3 4 6 8 11 16 23 32 45 64 90 128 181 256)

# CPU seconds (user + system) of a command, into cpu; its output into out.
timed() {
    local times="$work/time.txt"
    out=$(/usr/bin/time -f '%U %S' -o "$times" "$@")
    cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$times")
}

# key=value from a line of figures.
field() { tr ' ' '\n' <<<"$1" | awk -F= -v k="$2" '$1 == k { print $2 }'; }

pictures=()
for f in "$dir"/*.png; do
    name=$(basename "$f" .png)
    # The sprite is for the matte (transparent), not for this table.
    [[ $name == sprite* ]] && continue
    pictures+=("$name")
    [[ -e $work/$name.pam ]] || $im "$f" "pam:$work/$name.pam"
done

recipe=$work/recipe.tsv
if [[ ! -s $recipe ]]; then
    : >"$recipe.part"
    for name in "${pictures[@]}"; do
        for mode in dither nofs; do
            for n in "${counts[@]}"; do
                png=$work/q.png
                if [[ $mode == dither ]]; then pngquant --force -o "$png" "$n" "$dir/$name.png"; else pngquant --force --nofs -o "$png" "$n" "$dir/$name.png"; fi
                "$qm5" encode -q --auto --best "$png" -o "$work/q.qm5"
                $im "$png" "pam:$work/q.pam"
                m=$("$bench" measure "$work/$name.pam" "$work/q.pam")
                printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$mode" "$n" "$(stat -c %s "$work/q.qm5")" \
                    "$(field "$m" psnr)" "$(field "$m" ssim)" >>"$recipe.part"
            done
        done
    done
    mv "$recipe.part" "$recipe"
fi

ours=$work/ours.tsv
: >"$ours"
for name in "${pictures[@]}"; do
    for q in "${qualities[@]}"; do
        # The whole encode, as a user runs it; its summary names the colours.
        timed "$qm5" encode --quality "$q" --auto --best -j 1 "$dir/$name.png" -o "$work/r.qm5"
        summary=$out
        encode_cpu=$cpu
        "$qm5" encode -q --quality "$q" --auto --best -j 2 "$dir/$name.png" -o "$work/r2.qm5"
        same=$(cmp -s "$work/r.qm5" "$work/r2.qm5" && echo same || echo DIFFERENT)
        "$qm5" decode -q "$work/r.qm5" -o "$work/r.bmp"
        after=$(sed -E 's/.*, ([0-9]+) colours? \(from ([0-9,]+)\).*/\1/' <<<"$summary")
        before=$(sed -E 's/.*, ([0-9]+) colours? \(from ([0-9,]+)\).*/\2/' <<<"$summary" | tr -d ,)
        m=$("$bench" measure "$work/$name.pam" "$work/r.bmp")
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$q" "$(stat -c %s "$work/r.qm5")" \
            "$(field "$m" psnr)" "$(field "$m" ssim)" "$after" "$before" "$encode_cpu" "$same" >>"$ours"
    done
done

echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)."
echo
/usr/bin/python3 - "$recipe" "$ours" <<'EOF'
import math
import sys

recipe, ours = {}, []
for line in open(sys.argv[1]):
    name, mode, n, size, psnr, ssim = line.split('\t')
    recipe.setdefault(name, []).append((float(psnr), int(size), float(ssim), f"{'' if mode == 'dither' else '--nofs '}{n}"))
for line in open(sys.argv[2]):
    ours.append(line.rstrip('\n').split('\t'))

def frontier(points):
    """The fewest bytes at each PSNR or more, by PSNR ascending."""
    front, least = [], None
    for p in sorted(points, key=lambda p: (-p[0], p[1])):
        if least is None or p[1] < least:
            least = p[1]
            front.append(p)
    return front[::-1]

def at_psnr(front, psnr):
    """Bytes, SSIM and recipe of the frontier at psnr; None outside it."""
    if psnr < front[0][0] or psnr > front[-1][0]:
        return None
    for a, b in zip(front, front[1:] + [front[-1]]):
        if a[0] <= psnr <= b[0]:
            t = 0 if b[0] == a[0] else (psnr - a[0]) / (b[0] - a[0])
            size = math.exp(math.log(a[1]) + t * (math.log(b[1]) - math.log(a[1])))
            return size, a[2] + t * (b[2] - a[2]), a[3] if t < 0.5 else b[3]
    return None

print("| picture | colours | quality | PSNR | colours after | bytes | recipe at equal PSNR | its bytes | saving | SSIM | recipe's SSIM | CPU s | -j |")
print("|---|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---|")
savings, ssim_deltas, below, slow = [], [], [], []
for name, q, size, psnr, ssim, after, before, cpu, same in ours:
    size, psnr, ssim, cpu = int(size), float(psnr), float(ssim), float(cpu)
    front = frontier(recipe[name])
    there = at_psnr(front, psnr)
    if psnr < float(q):
        below.append(f"{name} at {q}: {psnr:.2f}")
    if there is None:
        lo, hi = front[0][0], front[-1][0]
        cells = f"none (its PSNR: {lo:.1f} to {hi:.1f}) | | | {ssim:.4f} | "
    else:
        rsize, rssim, rname = there
        saving = 100 * (1 - size / rsize)
        savings.append((saving, name, q))
        ssim_deltas.append(ssim - rssim)
        cells = f"pngquant {rname} | {rsize:.0f} | {saving:.1f} % | {ssim:.4f} | {rssim:.4f}"
    print(f"| {name} | {before} | {q} | {psnr:.2f} | {after} | {size} | {cells} | {cpu:.2f} | {same} |")
print()
if savings:
    mean = sum(s for s, _, _ in savings) / len(savings)
    least = min(savings)
    print(f"At equal PSNR ({len(savings)} points with a recipe point on either side): {mean:.1f} % fewer bytes on average, "
          f"least {least[0]:.1f} % ({least[1]} at {least[2]}); SSIM {sum(ssim_deltas) / len(ssim_deltas):+.4f} on average against the recipe's.")
print("PSNR reached below the quality asked: " + (", ".join(below) if below else "none") + ".")
EOF
