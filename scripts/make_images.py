#!/usr/bin/python3
"""Draws the agent's images into htdocs/.

Everything is drawn here from simple shapes, so the images can be
regenerated and restyled without any outside artwork:

  banner.png          page banner with the name, on the header colour
  footer_logo.jpg     small logo for the page footer
  stop.png            cancel button (shown at 36x36, drawn at 72x72)
  running*.gif        animations shown while a test runs
  stopped*.gif        the matching still images once a test has ended

Needs Pillow (Debian: apt-get install python3-pil) and the DejaVu fonts
(fonts-dejavu-core). Run from anywhere:  /usr/bin/python3 scripts/make_images.py
"""

import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

HTDOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "htdocs")

# Colours shared with trellon.css; the banner background must equal the
# header background (--brand) so the image blends into the header bar.
BRAND = (18, 60, 90)          # #123c5a
BRAND_LIGHT = (124, 196, 214)  # #7cc4d6
ACCENT = (10, 125, 140)       # #0a7d8c
PACKET = (240, 138, 36)       # #f08a24
GREY = (197, 206, 216)        # #c5ced8
DARK_GREY = (120, 132, 146)   # #788492
GREEN = (46, 158, 91)         # #2e9e5b
RED = (200, 40, 40)           # #c82828
WHITE = (255, 255, 255)
FOOTER_BG = (227, 233, 239)   # #e3e9ef, the footer background

# Drawing happens at this multiple of the final size and is then scaled
# down, which gives smooth edges without relying on anti-aliased primitives.
SS = 4

FONT_DIR = "/usr/share/fonts/truetype/dejavu"


def font(name, size):
    try:
        return ImageFont.truetype(os.path.join(FONT_DIR, name), size)
    except OSError:
        sys.stderr.write("make_images: %s not found, using the default font\n" % name)
        return ImageFont.load_default()


def canvas(w, h, bg, mode="RGB"):
    img = Image.new(mode, (w * SS, h * SS), bg)
    return img, ImageDraw.Draw(img)


def finish(img, w, h):
    return img.resize((w, h), Image.LANCZOS)


def s(v):
    """Scales a coordinate from final pixels to drawing pixels."""
    return int(round(v * SS))


def line(d, pts, color, width):
    d.line([(s(x), s(y)) for x, y in pts], fill=color, width=s(width), joint="curve")
    r = width / 2.0
    for x, y in (pts[0], pts[-1]):
        d.ellipse([s(x - r), s(y - r), s(x + r), s(y + r)], fill=color)


def dot(d, x, y, r, color, outline=None, width=0):
    d.ellipse([s(x - r), s(y - r), s(x + r), s(y + r)], fill=color,
              outline=outline, width=s(width) if outline else 0)


def rounded(d, box, radius, color, outline=None, width=0):
    x0, y0, x1, y1 = box
    d.rounded_rectangle([s(x0), s(y0), s(x1), s(y1)], radius=s(radius), fill=color,
                        outline=outline, width=s(width) if outline else 0)


def emblem(d, cx, cy, size, lattice, nodes, frame=None):
    """The Trellon mark: a trellis lattice whose crossings are network nodes."""
    half = size / 2.0
    if frame is not None:
        rounded(d, (cx - half, cy - half, cx + half, cy + half), size * 0.22, frame)
    inner = half * 0.62
    w = max(1.0, size * 0.055)
    # Lines of slope +1 and -1 through the centre and half a box to either
    # side, cut to the box: the two diagonals and an inscribed diamond.
    for off in (-inner, 0.0, inner):
        t0, t1 = max(-inner, -inner - off), min(inner, inner - off)
        line(d, [(cx + off + t0, cy + t0), (cx + off + t1, cy + t1)], lattice, w)
        line(d, [(cx + off + t0, cy - t0), (cx + off + t1, cy - t1)], lattice, w)
    r = size * 0.075
    for x, y in ((cx, cy - inner), (cx - inner, cy), (cx + inner, cy), (cx, cy + inner),
                 (cx - inner / 2, cy - inner / 2), (cx + inner / 2, cy - inner / 2),
                 (cx - inner / 2, cy + inner / 2), (cx + inner / 2, cy + inner / 2)):
        dot(d, x, y, r * 0.8, nodes)
    dot(d, cx, cy, r * 1.25, nodes)


def make_banner():
    # Shown at half size (CSS pixels) for sharp text on high-density screens.
    h = 128
    title = font("DejaVuSans-Bold.ttf", s(72))
    tag = font("DejaVuSans.ttf", s(23))
    text_x, tag_x = 134, 138
    title_w = title.getbbox("Trellon")[2] / float(SS)
    tag_w = tag.getbbox("network test agent")[2] / float(SS)
    w = int(math.ceil(max(text_x + title_w, tag_x + tag_w) + 20))
    w += w % 2
    img, d = canvas(w, h, BRAND)
    emblem(d, 62, 64, 100, lattice=BRAND_LIGHT, nodes=WHITE, frame=ACCENT)
    d.text((s(text_x), s(14)), "Trellon", font=title, fill=WHITE)
    d.text((s(tag_x), s(92)), "network test agent", font=tag, fill=BRAND_LIGHT)
    out = finish(img, w, h).quantize(colors=48, method=Image.MEDIANCUT, dither=Image.NONE)
    out.save(os.path.join(HTDOCS, "banner.png"), optimize=True)


def make_footer_logo():
    w, h = 240, 80
    img, d = canvas(w, h, FOOTER_BG)
    emblem(d, 40, 40, 60, lattice=BRAND_LIGHT, nodes=WHITE, frame=BRAND)
    title = font("DejaVuSans-Bold.ttf", s(34))
    d.text((s(80), s(18)), "Trellon", font=title, fill=BRAND)
    out = finish(img, w, h)
    out.save(os.path.join(HTDOCS, "footer_logo.jpg"), "JPEG", quality=88, optimize=True,
             progressive=False)


def make_stop():
    w = h = 72
    img, d = canvas(w, h, (0, 0, 0, 0), mode="RGBA")
    cx, cy, r = 36, 36, 34
    octagon = [(s(cx + r * math.cos(math.radians(22.5 + 45 * k))),
                s(cy + r * math.sin(math.radians(22.5 + 45 * k)))) for k in range(8)]
    d.polygon(octagon, fill=WHITE + (255,))
    r2 = r - 4
    inner = [(s(cx + r2 * math.cos(math.radians(22.5 + 45 * k))),
              s(cy + r2 * math.sin(math.radians(22.5 + 45 * k)))) for k in range(8)]
    d.polygon(inner, fill=RED + (255,))
    rounded(d, (24, 24, 48, 48), 3, WHITE + (255,))
    out = finish(img, w, h)
    out.save(os.path.join(HTDOCS, "stop.png"), optimize=True)


# Animated images: 120x80 on white, the background of the results card.
GW, GH = 120, 80


def computer(d, x, y, color):
    """A small monitor on a stand, its screen's top left corner at x, y."""
    rounded(d, (x, y, x + 26, y + 19), 2.5, color)
    rounded(d, (x + 2.5, y + 2.5, x + 23.5, y + 16.5), 1.5, WHITE)
    d.rectangle([s(x + 11), s(y + 19), s(x + 15), s(y + 24)], fill=color)
    rounded(d, (x + 6, y + 23.5, x + 20, y + 26.5), 1.5, color)


def check_badge(d, cx, cy, r):
    dot(d, cx, cy, r, GREEN)
    line(d, [(cx - r * 0.45, cy + r * 0.02), (cx - r * 0.1, cy + r * 0.38),
             (cx + r * 0.5, cy - r * 0.35)], WHITE, r * 0.28)


def palette_image(colors):
    """A palette shared by every frame, so the colours do not flicker."""
    pal = Image.new("P", (1, 1))
    flat = []
    for c in colors:
        flat.extend(c)
    # Blends between each colour and white, for the smoothed edges.
    # Blends too close to white are left out: the quantizer's colour lookup
    # is approximate and would otherwise paint the background off-white.
    for c in colors:
        for t in (0.2, 0.4, 0.6, 0.8):
            blend = [int(c[i] + (255 - c[i]) * t) for i in range(3)]
            if sum(255 - v for v in blend) > 36:
                flat.extend(blend)
    flat.extend([0, 0, 0] * (256 - len(flat) // 3))
    pal.putpalette(flat[:768])
    return pal


PALETTE = palette_image([WHITE, BRAND, BRAND_LIGHT, ACCENT, PACKET, GREY, DARK_GREY, GREEN,
                         (230, 236, 242)])


def to_gif_frame(img):
    return finish(img, GW, GH).quantize(palette=PALETTE, dither=Image.NONE)


def save_gif(name, frames, duration):
    path = os.path.join(HTDOCS, name)
    if len(frames) == 1:
        frames[0].save(path, optimize=True)
    else:
        frames[0].save(path, save_all=True, append_images=frames[1:], duration=duration,
                       loop=0, optimize=True, disposal=1)


def spinner_frame(step, count, running):
    img, d = canvas(GW, GH, WHITE)
    cx, cy, ring = 60, 40, 26
    for k in range(count):
        a = 2 * math.pi * k / count - math.pi / 2
        x, y = cx + ring * math.cos(a), cy + ring * math.sin(a)
        if running:
            age = (step - k) % count
            t = age / float(count)
            color = tuple(int(ACCENT[i] + (GREY[i] - ACCENT[i]) * min(1.0, t * 1.6))
                          for i in range(3))
            dot(d, x, y, 6.5 - 3.0 * t, color)
        else:
            dot(d, x, y, 4.0, GREY)
    if not running:
        check_badge(d, cx, cy, 15)
    return to_gif_frame(img)


def make_generic():
    n = 12
    save_gif("running.gif", [spinner_frame(i, n, True) for i in range(n)], 90)
    save_gif("stopped.gif", [spinner_frame(0, n, False)], 0)


def bandwidth_frame(step, count, running):
    img, d = canvas(GW, GH, WHITE)
    computer(d, 4, 24, BRAND)
    computer(d, 90, 24, BRAND)
    # The link between the two computers.
    rounded(d, (32, 30, 88, 38), 4, (230, 236, 242))
    if running:
        # Packets stream to the right, one every 14 pixels.
        shift = 14.0 * step / count
        x = 30 + shift
        while x < 88:
            if x > 32:
                x0, x1 = max(33, x), min(87, x + 8)
                if x1 > x0:
                    rounded(d, (x0, 31.5, x1, 36.5), 1.5, PACKET)
            x += 14
        # A fill bar under the link shows the transfer going on.
        rounded(d, (32, 58, 88, 63), 2.5, (230, 236, 242))
        fill = 32 + 56 * ((step + 1) / float(count))
        rounded(d, (32, 58, fill, 63), 2.5, ACCENT)
    else:
        rounded(d, (32, 30, 88, 38), 4, GREY)
        check_badge(d, 60, 61, 10)
    return to_gif_frame(img)


def make_bandwidth():
    n = 14
    save_gif("running_bandwidth.gif", [bandwidth_frame(i, n, True) for i in range(n)], 70)
    save_gif("stopped_bandwidth.gif", [bandwidth_frame(0, n, False)], 0)


def response_frame(step, count, running):
    img, d = canvas(GW, GH, WHITE)
    computer(d, 4, 24, BRAND)
    # The packet reflector on the far side: a round mirror.
    dot(d, 102, 36, 12, ACCENT)
    dot(d, 102, 36, 6.5, WHITE)
    dot(d, 102, 36, 3, ACCENT)
    for k in range(8):
        x = 36 + k * 7.5
        dot(d, x, 36, 1.3, GREY)
    if running:
        # Out on the upper lane, back on the lower one.
        half = count // 2
        if step < half:
            t = step / float(half)
            x, y, trail = 34 + t * 52, 31, -1
        else:
            t = (step - half) / float(half)
            x, y, trail = 86 - t * 52, 41, 1
        for k in range(1, 4):
            tx = x + trail * k * 5.0
            if 32 < tx < 90:
                c = tuple(int(PACKET[i] + (255 - PACKET[i]) * (0.25 * k + 0.15)) for i in range(3))
                dot(d, tx, y, 3.6 - 0.6 * k, c)
        dot(d, x, y, 4.2, PACKET)
        # A small clock hand: the time being measured.
        a = 2 * math.pi * step / count - math.pi / 2
        dot(d, 60, 64, 9, (230, 236, 242))
        line(d, [(60, 64), (60 + 7 * math.cos(a), 64 + 7 * math.sin(a))], BRAND, 2)
    else:
        check_badge(d, 60, 62, 10)
    return to_gif_frame(img)


def make_response():
    n = 20
    save_gif("running_response.gif", [response_frame(i, n, True) for i in range(n)], 60)
    save_gif("stopped_response.gif", [response_frame(0, n, False)], 0)


def streaming_frame(step, count, running):
    img, d = canvas(GW, GH, WHITE)
    # A play button for the media, then level bars that move with the stream;
    # once the stream has ended the button turns into a tick and the bars freeze.
    if running:
        dot(d, 22, 38, 16, ACCENT)
        d.polygon([(s(17), s(29)), (s(17), s(47)), (s(31), s(38))], fill=WHITE)
    else:
        check_badge(d, 22, 38, 16)
    bars = 8
    for k in range(bars):
        x = 46 + k * 9
        if running:
            phase = 2 * math.pi * (step / float(count)) + k * 0.9
            level = 0.5 + 0.5 * math.sin(phase) * math.cos(phase * 0.5 + k)
            height = 8 + 40 * abs(level)
            color = ACCENT if k % 2 == 0 else BRAND
        else:
            height = (14, 26, 20, 34, 24, 30, 16, 22)[k]
            color = GREY
        rounded(d, (x, 58 - height, x + 6, 58), 2, color)
    return to_gif_frame(img)


def make_streaming():
    n = 16
    save_gif("running_streaming.gif", [streaming_frame(i, n, True) for i in range(n)], 90)
    save_gif("stopped_streaming.gif", [streaming_frame(0, n, False)], 0)


def main():
    os.makedirs(HTDOCS, exist_ok=True)
    make_banner()
    make_footer_logo()
    make_stop()
    make_generic()
    make_bandwidth()
    make_response()
    make_streaming()
    for name in sorted(os.listdir(HTDOCS)):
        if name.endswith((".png", ".gif", ".jpg")):
            print("%-24s %6d bytes" % (name, os.path.getsize(os.path.join(HTDOCS, name))))


if __name__ == "__main__":
    main()
