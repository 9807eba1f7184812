#!/usr/bin/env python3
"""Draws the program's bitmaps and icons (flat shapes, soft gradients) and writes them as BMP and ICO
files into resources/art. Run it again after changing a drawing; the output is committed."""
import math
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "art")
SS = 4  # samples per pixel and axis
FACE = (240, 240, 240)  # what antialiased edges of keyed bitmaps are blended over


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(w * h)]  # premultiplied RGBA, 0..1

    def fill(self, inside, color, box=None):
        """Paints color (RGB tuple 0..255, or function (x, y) -> RGB) where inside(x, y) holds."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        for py in range(y0, y1):
            for px in range(x0, x1):
                hits = 0
                for sy in range(SS):
                    for sx in range(SS):
                        if inside(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS):
                            hits += 1
                if not hits:
                    continue
                a = hits / (SS * SS)
                c = color(px + 0.5, py + 0.5) if callable(color) else color
                p = self.px[py * self.w + px]
                for i in range(3):
                    p[i] = c[i] / 255.0 * a + p[i] * (1 - a)
                p[3] = a + p[3] * (1 - a)

    def rgba(self, x, y):
        r, g, b, a = self.px[y * self.w + x]
        if a <= 0:
            return (0, 0, 0, 0)
        return tuple(min(255, int(round(v / a * 255))) for v in (r, g, b)) + (int(round(a * 255)),)

    def keyed(self, key):
        """RGB rows for a bitmap with a transparent key colour; edges blended over the button face."""
        rows = []
        for y in range(self.h):
            row = []
            for x in range(self.w):
                r, g, b, a = self.rgba(x, y)
                if a < 100:
                    row.append(key)
                    continue
                t = a / 255.0
                c = tuple(int(round(v * t + f * (1 - t))) for v, f in zip((r, g, b), FACE))
                if c == key:  # never the key by accident
                    c = (c[0] ^ 1, c[1], c[2])
                row.append(c)
            rows.append(row)
        return rows


# Shapes: functions (x, y) -> bool.
def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


def rrect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        dx = max(x0 + r - x, 0, x - (x1 - r))
        dy = max(y0 + r - y, 0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return inside


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def stroke(points, width):
    def seg(x, y, a, b):
        ax, ay = a
        bx, by = b
        vx, vy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
        return math.hypot(x - ax - t * vx, y - ay - t * vy)
    return lambda x, y: any(seg(x, y, points[i], points[i + 1]) <= width / 2 for i in range(len(points) - 1))


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def vgrad(top, bottom, y0, y1):
    def color(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(int(a + (b - a) * t) for a, b in zip(top, bottom))
    return color


def shield(cx, top, w, h):
    pts = []
    for i in range(21):  # left side: straight, then curving to the point
        t = i / 20
        pts.append((cx - w / 2 + (w / 2) * (t ** 2.2), top + h * 0.12 + (h * 0.88) * t))
    pts.reverse()
    pts = [(cx - w / 2, top + h * 0.12), (cx - w * 0.18, top + h * 0.03), (cx, top)] + \
          [(cx + w * 0.18, top + h * 0.03), (cx + w / 2, top + h * 0.12)] + \
          [(2 * cx - x, y) for x, y in reversed(pts)][1:] + pts[::-1][::-1][1:]
    return polygon(sorted_outline(cx, pts))


def sorted_outline(cx, pts):
    # top arc, right side down to the tip, left side back up
    top = [p for p in pts[:5]]
    right = sorted({p for p in pts[5:] if p[0] >= cx}, key=lambda p: p[1])
    left = sorted({p for p in pts[5:] if p[0] < cx}, key=lambda p: -p[1])
    return top + right + left


BLUE = ((66, 148, 255), (22, 84, 196))
WHITE = (255, 255, 255)


def draw_shield(c, s, check=True):
    c.fill(shield(24 * s, 2 * s, 40 * s, 44 * s), vgrad(BLUE[0], BLUE[1], 2 * s, 46 * s))
    c.fill(shield(24 * s, 6 * s, 32 * s, 36 * s), vgrad((96, 170, 255), (34, 102, 214), 6 * s, 42 * s))
    if check:
        c.fill(stroke([(14 * s, 24 * s), (21 * s, 31 * s), (34 * s, 16 * s)], 5.5 * s), WHITE)


def logo(size=48):
    c = Canvas(size, size)
    draw_shield(c, size / 48.0)
    return c


def quick_scan():
    c = Canvas(64, 64)
    c.fill(circle(32, 32, 27), vgrad((255, 184, 64), (236, 112, 20), 5, 59))
    c.fill(polygon([(36, 10), (18, 35), (30, 35), (26, 54), (46, 27), (33, 27)]), WHITE)
    return c


def full_scan():
    c = Canvas(64, 64)
    for i, top in enumerate((10, 25, 40)):
        c.fill(rrect(8, top, 56, top + 13, 4), vgrad((52, 201, 170), (18, 140, 120), top, top + 13))
        c.fill(circle(47, top + 6.5, 2.2), (210, 255, 120))
        c.fill(rrect(14, top + 5, 34, top + 8, 1.5), (230, 255, 250))
    return c


def custom_scan():
    c = Canvas(64, 64)
    c.fill(rrect(6, 12, 30, 22, 3), (240, 176, 40))
    c.fill(rrect(6, 17, 54, 52, 4), vgrad((255, 208, 80), (236, 160, 30), 17, 52))
    c.fill(ring(38, 36, 9, 13.5), (40, 110, 220))
    c.fill(circle(38, 36, 9), (210, 232, 255))
    c.fill(stroke([(47, 46), (57, 57)], 6), (40, 110, 220))
    return c


def repository():
    c = Canvas(64, 32)
    c.fill(rrect(4, 4, 34, 12, 2), (150, 110, 230))
    c.fill(rrect(6, 11, 32, 29, 2), vgrad((170, 130, 245), (110, 70, 200), 11, 29))
    c.fill(rrect(14, 15, 24, 18, 1.5), (240, 232, 255))
    arc = minus(ring(49, 17, 7, 11), polygon([(49, 17), (62, 4), (62, 17)]))
    c.fill(arc, (90, 170, 80))
    c.fill(polygon([(55, 5), (62, 12), (53, 14)]), (90, 170, 80))
    return c


def folder(size, open_=False):
    s = size / 32.0
    c = Canvas(size, size)
    c.fill(rrect(3 * s, 6 * s, 14 * s, 11 * s, 2 * s), (232, 168, 40))
    c.fill(rrect(3 * s, 9 * s, 29 * s, 27 * s, 2.5 * s), vgrad((255, 204, 84), (236, 164, 36), 9 * s, 27 * s))
    if open_:
        c.fill(polygon([(7 * s, 14 * s), (31 * s, 14 * s), (27 * s, 27 * s), (3 * s, 27 * s)]),
               vgrad((255, 226, 140), (246, 186, 60), 14 * s, 27 * s))
    return c


def drive(kind):
    c = Canvas(32, 32)
    if kind == "cd":
        c.fill(ring(16, 16, 3.5, 13.5), vgrad((236, 240, 248), (168, 182, 204), 2, 30))
        c.fill(ring(16, 16, 6, 8), (150, 200, 255))
        c.fill(ring(16, 16, 13, 13.5), (120, 130, 150))
    elif kind == "removable":
        c.fill(rrect(10, 3, 22, 10, 1.5), (170, 176, 186))
        c.fill(rrect(7, 9, 25, 29, 3), vgrad((80, 150, 250), (30, 90, 200), 9, 29))
        c.fill(rrect(13, 5, 15, 7, 0.5), WHITE)
        c.fill(rrect(17, 5, 19, 7, 0.5), WHITE)
    else:
        c.fill(rrect(3, 10, 29, 24, 3), vgrad((200, 206, 216), (130, 138, 152), 10, 24))
        c.fill(rrect(6, 15, 18, 18, 1.5), (90, 98, 110))
        c.fill(circle(24, 17, 1.8), (90, 220, 90) if kind == "fixed" else (240, 200, 60))
        if kind == "network":
            c.fill(stroke([(16, 24), (16, 29), (8, 29)], 2), (80, 90, 100))
    return c


def document():
    c = Canvas(48, 48)
    c.fill(polygon([(10, 4), (30, 4), (40, 14), (40, 44), (10, 44)]), vgrad((255, 255, 255), (226, 232, 240), 4, 44))
    c.fill(minus(polygon([(9, 3), (31, 3), (41, 13), (41, 45), (9, 45)]),
                 polygon([(11, 5), (29.5, 5), (39, 14.5), (39, 43), (11, 43)])), (120, 130, 146))
    c.fill(polygon([(30, 4), (30, 14), (40, 14)]), (190, 200, 214))
    for y in (20, 26, 32, 38):
        c.fill(rrect(15, y, 35 if y != 38 else 28, y + 2, 1), (150, 170, 200))
    return c


# Writers.
def write_bmp(path, rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        data += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)] + \
       [(v, v, v) for v in range(8, 248, 6)][:40]


def nearest(palette, c):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], c)))


def icon_image(canvas, bits):
    w, h = canvas.w, canvas.h
    pixels = [[canvas.rgba(x, y) for x in range(w)] for y in range(h)]
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    if bits == 32:
        palette, xor = b"", bytearray()
        for row in reversed(pixels):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
    else:
        colors = VGA if bits == 4 else CUBE + [(0, 0, 0)] * (256 - len(CUBE))
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colors)
        stride = ((w * bits + 31) // 32) * 4
        xor = bytearray()
        cache = {}
        for row in reversed(pixels):
            line = bytearray(stride)
            for x, p in enumerate(row):
                index = 0
                if p[3] >= 128:
                    key = p[:3]
                    if key not in cache:
                        cache[key] = nearest(colors, key)
                    index = cache[key]
                if bits == 8:
                    line[x] = index
                else:
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += line
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, images):
    """images: list of (canvas, bits)."""
    blobs = [icon_image(c, bits) for c, bits in images]
    offset = 6 + 16 * len(images)
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    for (c, bits), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", c.w % 256, c.h % 256, 16 if bits == 4 else 0, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


def main():
    os.makedirs(OUT, exist_ok=True)
    write_bmp(os.path.join(OUT, "logo.bmp"), logo().keyed((255, 255, 255)))
    write_bmp(os.path.join(OUT, "quick.bmp"), quick_scan().keyed((0, 0, 0)))
    write_bmp(os.path.join(OUT, "full.bmp"), full_scan().keyed((0, 0, 0)))
    write_bmp(os.path.join(OUT, "custom.bmp"), custom_scan().keyed((0, 0, 0)))
    write_bmp(os.path.join(OUT, "repository.bmp"), repository().keyed((0, 0, 0)))
    app = [(logo(size), bits) for bits in (4, 8, 32) for size in (16, 24, 32, 48)]
    write_ico(os.path.join(OUT, "app.ico"), app)
    tree = {"cdrom.ico": drive("cd"), "fixed.ico": drive("fixed"), "network.ico": drive("network"),
            "removable.ico": drive("removable"), "folder-open.ico": folder(32, True), "folder.ico": folder(32)}
    for name, canvas in tree.items():
        write_ico(os.path.join(OUT, name), [(canvas, 8), (canvas, 32)])
    write_ico(os.path.join(OUT, "file.ico"), [(document(), 8), (document(), 32)])


if __name__ == "__main__":
    sys.exit(main())
