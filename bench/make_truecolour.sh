#!/usr/bin/env bash
# Makes the truecolour benchmark pictures of the colour-reduction table into
# the directory given (default bench/truecolour), all generated here, none
# downloaded: ImageMagick's built-in images resized with a smooth filter
# (every resized picture has thousands of colours), seeded plasma, a blurred
# granite tile, and drawn pictures (cartoon shapes with gradient fills,
# plain gradients, a transparent sprite with junk colours under its
# transparent pixels) from PIL. Requires ImageMagick 6 (convert-im6.q16)
# and Debian's python3-pil.
set -euo pipefail
out=${1:-$(dirname "$0")/truecolour}
mkdir -p "$out"
im=convert-im6.q16
for n in 256 512; do
  # A smooth photo, a drawing on a white background, a logo.
  $im rose: -filter Lanczos -resize "${n}x${n}!" "PNG24:$out/rose$n.png"
  $im wizard: -filter Lanczos -resize "${n}x${n}!" "PNG24:$out/wizard$n.png"
  $im logo: -filter Lanczos -resize "${n}x${n}!" "PNG24:$out/logo$n.png"
  # Fractal noise: detail at every scale.
  $im -seed 7 -size "${n}x${n}" plasma:fractal -blur 0x1 "PNG24:$out/plasma$n.png"
done
# A fine stone texture: granite tiled to 256 x 256, blurred.
$im -size 256x256 tile:granite: -blur 0x0.8 "PNG24:$out/granite256.png"

/usr/bin/python3 - "$out" <<'EOF'
import sys
from PIL import Image, ImageDraw

out = sys.argv[1]

def gradient(size, a, b, horizontal):
    """A linear gradient from colour a to colour b."""
    ramp = Image.linear_gradient("L").resize((size, size))
    if horizontal:
        ramp = ramp.rotate(90)
    return Image.composite(Image.new("RGB", (size, size), b), Image.new("RGB", (size, size), a), ramp)

def radial(size, inner, outer):
    ramp = Image.radial_gradient("L").resize((size, size))
    return Image.composite(Image.new("RGB", (size, size), outer), Image.new("RGB", (size, size), inner), ramp)

def cartoon(n):
    """Flat and shaded shapes on a sky gradient, drawn 4x larger and shrunk
    so that their edges are smooth."""
    s = 4 * n
    img = gradient(s, (90, 150, 235), (200, 230, 255), False)
    draw = ImageDraw.Draw(img)
    draw.rectangle([0, int(s * 0.72), s, s], fill=(70, 160, 60))       # grass
    draw.ellipse([int(s * 0.62), int(s * 0.08), int(s * 0.86), int(s * 0.32)], fill=(255, 215, 40))  # sun
    # A shaded ball: a radial gradient through a round mask.
    ball = radial(int(s * 0.36), (255, 120, 110), (150, 20, 30))
    mask = Image.new("L", ball.size, 0)
    ImageDraw.Draw(mask).ellipse([0, 0, ball.size[0] - 1, ball.size[1] - 1], fill=255)
    img.paste(ball, (int(s * 0.12), int(s * 0.45)), mask)
    # A house: walls, roof, door and windows with outlines.
    draw.rectangle([int(s * 0.55), int(s * 0.48), int(s * 0.9), int(s * 0.78)], fill=(235, 220, 180),
                   outline=(40, 30, 20), width=max(1, s // 128))
    draw.polygon([(int(s * 0.5), int(s * 0.5)), (int(s * 0.725), int(s * 0.34)), (int(s * 0.95), int(s * 0.5))],
                 fill=(180, 60, 40), outline=(40, 30, 20))
    draw.rectangle([int(s * 0.68), int(s * 0.62), int(s * 0.76), int(s * 0.78)], fill=(110, 70, 40))
    for x in (0.59, 0.8):
        draw.rectangle([int(s * x), int(s * 0.55), int(s * (x + 0.06)), int(s * 0.61)], fill=(150, 200, 240),
                       outline=(40, 30, 20), width=max(1, s // 256))
    return img.resize((n, n), Image.LANCZOS)

for n in (256, 512):
    cartoon(n).save(f"{out}/cartoon{n}.png")

# Gradients: a vertical ramp, a horizontal ramp over it and a radial glow.
g = Image.blend(gradient(256, (20, 30, 90), (240, 180, 60), False),
                gradient(256, (200, 40, 120), (30, 200, 190), True), 0.4)
glow = radial(256, (255, 255, 230), (0, 0, 0))
Image.blend(g, glow, 0.25).save(f"{out}/gradient256.png")

# A transparent sprite: two opaque colours; the transparent pixels hold
# leftover colours of an earlier drawing (alpha 0) and a soft edge has
# partly transparent pixels.
sprite = Image.new("RGBA", (64, 64))
px = sprite.load()
for y in range(64):
    for x in range(64):
        px[x, y] = ((x * 37 + y * 11) % 256, (x * 7 + y * 53) % 256, (x * y) % 256, 0)
d = ImageDraw.Draw(sprite)
d.ellipse([8, 8, 55, 55], fill=(240, 200, 30, 255))
d.ellipse([22, 22, 41, 41], fill=(30, 60, 200, 255))
d.rectangle([0, 60, 63, 63], fill=(240, 200, 30, 128))
sprite.save(f"{out}/sprite64.png")
EOF
