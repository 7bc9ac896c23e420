#!/usr/bin/env python3
"""Draws the module's pictures and writes them as Windows resource files.

    gen_pictures.py OUTDIR [--preview]

Writes into OUTDIR:
    pv_normal.ico  toolbar button, normal state: 16x16 and 20x20 in 16 colours, 20x20 in 256 colours
    pv_hot.ico     the same three images for the hot (hover) state
    pv_hand.cur    pointing hand, 32x32 monochrome, hot spot (6, 2)
    pv_banner.bmp  banner of the settings dialog, 495x40, 256 colours
With --preview it also writes PNG copies (4x enlarged for the small pictures) for looking at.

Only the standard library is used: every picture is rendered with anti-aliasing in floating-point
RGBA, then reduced to its palette, and the ICO/CUR/BMP bytes are assembled here.
"""
import math
import os
import struct
import sys
import zlib

# ----------------------------------------------------------------------------------------------
# Geometry helpers


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy
    t = 0.0 if ll == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / ll))
    cx, cy = ax + t * dx - px, ay + t * dy - py
    return math.sqrt(cx * cx + cy * cy)


def point_in_poly(x, y, poly):
    inside = False
    n = len(poly)
    j = n - 1
    for i in range(n):
        xi, yi = poly[i]
        xj, yj = poly[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def blend(dst, src, alpha):
    """Source-over of an opaque colour with coverage alpha onto an RGBA pixel."""
    if alpha <= 0:
        return dst
    r, g, b, a = dst
    out_a = alpha + a * (1 - alpha)
    if out_a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    k = a * (1 - alpha)
    return ((src[0] * alpha + r * k) / out_a, (src[1] * alpha + g * k) / out_a,
            (src[2] * alpha + b * k) / out_a, out_a)


class Canvas:
    def __init__(self, w, h, fill=(0.0, 0.0, 0.0, 0.0)):
        self.w, self.h = w, h
        self.px = [[fill for _ in range(w)] for _ in range(h)]

    def shape(self, inside, colour, ss=4, bbox=None):
        """Fills the region where inside(x, y) holds (coordinates in pixels), supersampled."""
        x0, y0, x1, y1 = bbox or (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        step = 1.0 / ss
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = 0
                for sy in range(ss):
                    for sx in range(ss):
                        if inside(x + (sx + 0.5) * step, y + (sy + 0.5) * step):
                            hits += 1
                if hits:
                    self.px[y][x] = blend(self.px[y][x], colour, hits / (ss * ss))

    def strokes(self, segments, width, colour):
        """Draws line segments with round ends; coverage from the distance to the nearest one."""
        if not segments:
            return
        half = width / 2.0
        xs = [p for s in segments for p in (s[0], s[2])]
        ys = [p for s in segments for p in (s[1], s[3])]
        x0, x1 = max(0, int(min(xs) - half - 2)), min(self.w, int(max(xs) + half + 2))
        y0, y1 = max(0, int(min(ys) - half - 2)), min(self.h, int(max(ys) + half + 2))
        for y in range(y0, y1):
            for x in range(x0, x1):
                cx, cy = x + 0.5, y + 0.5
                d = min(seg_dist(cx, cy, *s) for s in segments)
                cov = max(0.0, min(1.0, half + 0.5 - d))
                if cov:
                    self.px[y][x] = blend(self.px[y][x], colour, cov)


# ----------------------------------------------------------------------------------------------
# The emblem: a shield with an open eye on it


def shield_outline(x, y, w, h, n=48):
    """Shield polygon inside the box (x, y, w, h): flat top with raised corners, pointed base."""
    pts = []
    top = y + h * 0.06
    shoulder = y + h * 0.50
    # right side, top to point
    pts.append((x + w * 0.5, top + h * 0.05))
    pts.append((x + w * 0.96, top))
    pts.append((x + w * 0.96, shoulder))
    for i in range(1, n + 1):
        t = i / n
        # quadratic from the right shoulder to the point, control near the lower right
        cx, cy = x + w * 0.94, y + h * 0.84
        ex, ey = x + w * 0.5, y + h * 0.99
        sx, sy = x + w * 0.96, shoulder
        pts.append(((1 - t) ** 2 * sx + 2 * (1 - t) * t * cx + t * t * ex,
                    (1 - t) ** 2 * sy + 2 * (1 - t) * t * cy + t * t * ey))
    left = [(2 * x + w - px, py) for px, py in reversed(pts[1:-1])]
    return pts + left


def draw_emblem(cv, x, y, w, h, rim, body, highlight, ss=6, iris=(0.05, 0.55, 0.45, 1.0)):
    outer = shield_outline(x, y, w, h)
    inset = max(1.0, w * 0.09)
    inner = shield_outline(x + inset, y + inset * 0.9, w - 2 * inset, h - 2 * inset)
    bbox = (x - 1, y - 1, x + w + 1, y + h + 1)
    cv.shape(lambda px, py: point_in_poly(px, py, outer), rim, ss, bbox)
    cv.shape(lambda px, py: point_in_poly(px, py, inner), body, ss, bbox)
    # a lighter left half gives the shield some depth
    mid = x + w * 0.5
    cv.shape(lambda px, py: px < mid and point_in_poly(px, py, inner), highlight, ss, bbox)
    # the eye: a vesica (two circle arcs), iris and pupil
    ex, ey = x + w * 0.5, y + h * 0.45
    ew, eh = w * 0.34, h * 0.17          # half width, half height
    r = (ew * ew + eh * eh) / (2 * eh)   # radius of the arcs through the corners and the top
    def in_eye(px, py):
        return (math.hypot(px - ex, py - (ey + r - eh)) <= r and
                math.hypot(px - ex, py - (ey - r + eh)) <= r)
    cv.shape(in_eye, (1.0, 1.0, 1.0, 1.0), ss, bbox)
    ir = eh * 0.95
    cv.shape(lambda px, py: math.hypot(px - ex, py - ey) <= ir and in_eye(px, py),
             iris, ss, bbox)
    cv.shape(lambda px, py: math.hypot(px - ex, py - ey) <= ir * 0.5,
             (0.02, 0.05, 0.12, 1.0), ss, bbox)


# ----------------------------------------------------------------------------------------------
# A small stroke font for the banner. Units: baseline y = 0, x-height -5, cap height -8.


def arc(cx, cy, rx, ry, a0, a1, n=14):
    pts = []
    for i in range(n + 1):
        a = math.radians(a0 + (a1 - a0) * i / n)
        pts.append((cx + rx * math.cos(a), cy - ry * math.sin(a)))
    return pts


def bowl(cx=2.25):
    return arc(cx, -2.5, 2.25, 2.5, 0, 360, 24)


GLYPHS = {
    'P': (4.2, [[(0, 0), (0, -8)], [(0, -8), (2.4, -8)] + arc(2.4, -6, 1.9, 2, 90, -90) + [(0, -4)]]),
    'a': (4.6, [bowl(), [(4.5, -5), (4.5, 0)]]),
    'b': (4.6, [bowl(2.35), [(0.1, -8), (0.1, 0)]]),
    'c': (4.2, [arc(2.25, -2.5, 2.25, 2.5, 40, 320, 20)]),
    'e': (4.6, [[(0.05, -2.6), (4.5, -2.6)] + arc(2.25, -2.5, 2.25, 2.5, 0, 300, 22)]),
    'f': (3.0, [[(1.0, 0), (1.0, -6.3)] + arc(2.4, -6.3, 1.4, 1.7, 180, 60, 8), [(0, -5), (2.8, -5)]]),
    'g': (4.6, [bowl(), [(4.5, -5), (4.5, 0.8)] + arc(2.25, 0.8, 2.25, 2.2, 0, -150, 10)]),
    'h': (4.2, [[(0, -8), (0, 0)], [(0, -2.6)] + arc(2.1, -2.9, 2.1, 2.1, 180, 0, 12) + [(4.2, 0)]]),
    'i': (0.4, [[(0.2, -5), (0.2, 0)], [(0.2, -7.2), (0.2, -7.1)]]),
    'l': (0.4, [[(0.2, -8), (0.2, 0)]]),
    'r': (3.2, [[(0, -5), (0, 0)], [(0, -2.6)] + arc(2.2, -2.9, 2.2, 2.1, 180, 70, 8)]),
    's': (4.0, [[(3.8, -4.3), (3.0, -4.95), (1.2, -5.0), (0.3, -4.3), (0.5, -3.3), (2.0, -2.7),
                 (3.5, -2.1), (4.0, -1.0), (3.2, -0.05), (1.2, 0), (0.1, -0.7)]]),
    't': (3.0, [[(1.3, -7), (1.3, -1.2)] + arc(2.6, -1.2, 1.3, 1.2, 180, 270, 6), [(0, -5), (2.8, -5)]]),
    'v': (4.4, [[(0, -5), (2.2, 0), (4.4, -5)]]),
    'w': (5.6, [[(0, -5), (1.3, 0), (2.8, -4.2), (4.3, 0), (5.6, -5)]]),
    ' ': (2.2, []),
}


def text_segments(text, x, baseline, scale, spacing=1.7):
    segs = []
    for ch in text:
        width, strokes = GLYPHS[ch]
        for pts in strokes:
            for (ax, ay), (bx, by) in zip(pts, pts[1:]):
                segs.append((x + ax * scale, baseline + ay * scale, x + bx * scale, baseline + by * scale))
        x += (width + spacing) * scale
    return segs, x


# ----------------------------------------------------------------------------------------------
# Palettes and quantisation

VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
         (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def to_bytes(c):
    return tuple(max(0, min(255, int(round(v * 255)))) for v in c[:3])


def nearest(palette, rgb):
    best, bi = None, 0
    for i, p in enumerate(palette):
        d = (p[0] - rgb[0]) ** 2 * 3 + (p[1] - rgb[1]) ** 2 * 4 + (p[2] - rgb[2]) ** 2 * 2
        if best is None or d < best:
            best, bi = d, i
    return bi


def median_cut(colours, count):
    """A palette of at most count colours for the given list of (r, g, b) byte triples."""
    uniq = sorted(set(colours))
    if len(uniq) <= count:
        return uniq
    boxes = [uniq]
    while len(boxes) < count:
        # split the box with the widest channel range
        best = None
        for bi, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                vals = [c[ch] for c in box]
                rng = max(vals) - min(vals)
                if best is None or rng > best[0]:
                    best = (rng, bi, ch)
        if best is None or best[0] == 0:
            break
        _, bi, ch = best
        box = sorted(boxes.pop(bi), key=lambda c: c[ch])
        half = len(box) // 2
        boxes += [box[:half], box[half:]]
    return [tuple(sum(c[i] for c in box) // len(box) for i in range(3)) for box in boxes]


def quantise(cv, palette, background=None):
    """Palette indices and an AND mask (1 = transparent) for a canvas."""
    cache = {}
    idx, mask = [], []
    for row in cv.px:
        irow, mrow = [], []
        for px in row:
            if background is not None:
                px = blend((*background, 1.0), px[:3], px[3])
            transparent = px[3] < 0.5
            rgb = to_bytes(px)
            if transparent:
                irow.append(0)
            else:
                if rgb not in cache:
                    cache[rgb] = nearest(palette, rgb)
                irow.append(cache[rgb])
            mrow.append(1 if transparent else 0)
        idx.append(irow)
        mask.append(mrow)
    return idx, mask


# ----------------------------------------------------------------------------------------------
# File formats


def pack_rows(rows, bpp):
    """Bottom-up rows of palette indices, each padded to a multiple of four bytes."""
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray()
        acc, nbits = 0, 0
        for v in row:
            acc = (acc << bpp) | v
            nbits += bpp
            if nbits == 8:
                bits.append(acc)
                acc, nbits = 0, 0
        if nbits:
            bits.append(acc << (8 - nbits))
        while len(bits) % 4:
            bits.append(0)
        out += bits
    return bytes(out)


def dib(w, h, bpp, palette, idx, mask):
    """Image data of one ICO/CUR entry: header with doubled height, palette, XOR bits, AND mask."""
    ncolours = 1 << bpp
    pal = list(palette) + [(0, 0, 0)] * (ncolours - len(palette))
    xor = pack_rows(idx, bpp)
    andm = pack_rows(mask, 1)
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, bpp, 0, len(xor) + len(andm), 0, 0,
                         ncolours, 0)
    return header + b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in pal) + xor + andm


def icon_file(images, kind=1, hotspot=(0, 0)):
    """images: list of (w, h, bpp, data). kind 1 = icon, 2 = cursor."""
    out = struct.pack('<HHH', 0, kind, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for w, h, bpp, data in images:
        colours = (1 << bpp) if bpp < 8 else 0
        if kind == 1:
            planes, bits = 1, bpp
        else:
            planes, bits = hotspot
        out += struct.pack('<BBBBHHII', w, h, colours, 0, planes, bits, len(data), offset + len(body))
        body += data
    return out + body


def bmp_file(w, h, palette, idx):
    pal = list(palette) + [(0, 0, 0)] * (256 - len(palette))
    bits = pack_rows(idx, 8)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 8, 0, len(bits), 2835, 2835, 256, 0)
    pal_bytes = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in pal)
    off = 14 + len(info) + len(pal_bytes)
    return struct.pack('<2sIHHI', b'BM', off + len(bits), 0, 0, off) + info + pal_bytes + bits


def png_file(w, h, rgba_rows, zoom=1):
    raw = bytearray()
    for row in rgba_rows:
        line = bytearray([0])
        for px in row:
            line += bytes(px) * zoom
        for _ in range(zoom):
            raw += line
    def chunk(tag, data):
        return struct.pack('>I', len(data)) + tag + data + struct.pack('>I', zlib.crc32(tag + data) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w * zoom, h * zoom, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def indexed_preview(idx, mask, palette):
    rows = []
    for irow, mrow in zip(idx, mask):
        rows.append([(255, 0, 255, 0) if m else (*palette[i], 255) for i, m in zip(irow, mrow)])
    return rows


# ----------------------------------------------------------------------------------------------
# The pictures

STATES = {
    # state: (rim, body, lighter half)
    'normal': ((0.05, 0.12, 0.40, 1.0), (0.12, 0.30, 0.70, 1.0), (0.20, 0.42, 0.82, 1.0)),
    'hot': ((0.75, 0.55, 0.05, 1.0), (0.10, 0.40, 0.95, 1.0), (0.25, 0.58, 1.00, 1.0)),
}

# The 16-colour images are drawn without anti-aliasing in exact palette colours: blending edges
# and then picking the nearest of sixteen colours only smears them into greys.
def vga(i):
    r, g, b = VGA16[i]
    return (r / 255.0, g / 255.0, b / 255.0, 1.0)


STATES16 = {
    'normal': (vga(4), vga(12), vga(12), vga(6)),
    'hot': (vga(11), vga(12), vga(12), vga(6)),
}


def icon_images(state):
    rim, body, light = STATES[state]
    images, previews = [], []
    for size, bpp in ((16, 4), (20, 4), (20, 8)):
        cv = Canvas(size, size)
        if bpp == 4:
            r16, b16, l16, i16 = STATES16[state]
            draw_emblem(cv, 0.5, 0.0, size - 1.0, size, r16, b16, l16, ss=1, iris=i16)
        else:
            draw_emblem(cv, 0.5, 0.0, size - 1.0, size, rim, body, light)
        if bpp == 4:
            palette = VGA16
        else:
            palette = median_cut([to_bytes(p) for row in cv.px for p in row if p[3] >= 0.5], 256)
        idx, mask = quantise(cv, palette)
        images.append((size, size, bpp, dib(size, size, bpp, palette, idx, mask)))
        previews.append((size, indexed_preview(idx, mask, palette)))
    return images, previews


HAND = """\
................................
................................
.....BBB........................
....BWWWB.......................
....BWWWB.......................
....BWWWB.......................
....BWWWB.......................
....BWWWBBB.....................
....BWWWBWWBBB..................
....BWWWBWWBWWBB................
....BWWWBWWBWWBWB...............
.BB.BWWWBWWBWWBWWB..............
BWWBBWWWWWWWWWWWWB..............
BWWWBWWWWWWWWWWWWB..............
.BWWWWWWWWWWWWWWWB..............
..BWWWWWWWWWWWWWWB..............
..BWWWWWWWWWWWWWWB..............
...BWWWWWWWWWWWWWB..............
...BWWWWWWWWWWWWB...............
....BWWWWWWWWWWWB...............
....BWWWWWWWWWWWB...............
.....BWWWWWWWWWB................
.....BWWWWWWWWWB................
.....BBBBBBBBBBB................
................................
................................
................................
................................
................................
................................
................................
................................"""


def hand_cursor():
    rows = HAND.splitlines()
    assert len(rows) == 32 and all(len(r) == 32 for r in rows)
    idx = [[1 if c == 'W' else 0 for c in r] for r in rows]
    mask = [[1 if c == '.' else 0 for c in r] for r in rows]
    data = dib(32, 32, 1, [(0, 0, 0), (255, 255, 255)], idx, mask)
    # hot spot: the fingertip
    return icon_file([(32, 32, 1, data)], kind=2, hotspot=(6, 2)), \
        indexed_preview(idx, mask, [(0, 0, 0), (255, 255, 255)])


def banner():
    w, h = 495, 40
    cv = Canvas(w, h)
    left, right = (0.04, 0.10, 0.30), (0.10, 0.42, 0.62)
    for y in range(h):
        for x in range(w):
            t = x / (w - 1)
            c = lerp(left, right, t ** 0.8)
            shade = 1.0 - 0.18 * (y / (h - 1))   # a little darker at the bottom
            cv.px[y][x] = (c[0] * shade, c[1] * shade, c[2] * shade, 1.0)
    # a thin light rule along the bottom edge
    for x in range(w):
        cv.px[h - 2][x] = blend(cv.px[h - 2][x], (0.55, 0.78, 0.95), 0.6)
    draw_emblem(cv, 10, 3, 30, 34, (0.85, 0.68, 0.15, 1.0), (0.10, 0.36, 0.85, 1.0),
                (0.22, 0.52, 0.95, 1.0), ss=4)
    segs, end = text_segments('Pathvigil', 54, 28, 3.0)
    cv.strokes([(a + 1, b + 1, c + 1, d + 1) for a, b, c, d in segs], 2.6, (0.0, 0.02, 0.08))
    cv.strokes(segs, 2.6, (1.0, 1.0, 1.0))
    tag, _ = text_segments('web access filter', end + 18, 28, 1.45, spacing=1.9)
    cv.strokes(tag, 1.3, (0.72, 0.86, 0.98))
    palette = median_cut([to_bytes(p) for row in cv.px for p in row], 256)
    idx, mask = quantise(cv, palette)
    return bmp_file(w, h, palette, idx), indexed_preview(idx, mask, palette)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    out = argv[1]
    preview = '--preview' in argv[2:]
    os.makedirs(out, exist_ok=True)

    def write(name, data):
        path = os.path.join(out, name)
        tmp = path + '.tmp'
        with open(tmp, 'wb') as f:
            f.write(data)
        os.replace(tmp, path)

    for state in ('normal', 'hot'):
        images, previews = icon_images(state)
        write('pv_%s.ico' % state, icon_file(images))
        if preview:
            for n, (size, rows) in enumerate(previews):
                write('preview_%s_%d.png' % (state, n), png_file(size, size, rows, 8))
    cur, rows = hand_cursor()
    write('pv_hand.cur', cur)
    if preview:
        write('preview_hand.png', png_file(32, 32, rows, 6))
    bmp, rows = banner()
    write('pv_banner.bmp', bmp)
    if preview:
        write('preview_banner.png', png_file(495, 40, rows, 2))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
