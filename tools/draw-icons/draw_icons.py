#!/usr/bin/env python3
"""Draws the analyzer's tool-bar icons as 48x48 PNG files (no image library
needed): each icon is a list of filled shapes painted in order, sampled 4x4
per pixel for smooth edges. Bright shapes with a dark outline stay readable on
the dark window and on the black of a disabled tool button.

    tools/draw-icons/draw_icons.py app/icon
"""
import math, os, struct, sys, zlib

SIZE, SS = 48, 4


def png(path, pixels):
    raw = b"".join(b"\x00" + bytes(row) for row in pixels)
    def chunk(tag, data):
        c = tag + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def hexrgb(h):
    h = h.lstrip("#")
    return tuple(int(h[i:i + 2], 16) for i in (0, 2, 4))


# Shapes: (test(x, y) -> bool, colour)
def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r, w):
    return lambda x, y: (r - w) ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rrect(x0, y0, x1, y1, rad=0.0):
    def t(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        dx = max(x0 + rad - x, 0, x - (x1 - rad))
        dy = max(y0 + rad - y, 0, y - (y1 - rad))
        return dx * dx + dy * dy <= rad * rad
    return t


def poly(pts):
    def t(x, y):
        inside = False
        n = len(pts)
        for i in range(n):
            (ax, ay), (bx, by) = pts[i], pts[(i + 1) % n]
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                inside = not inside
        return inside
    return t


def grow(pts, d):
    """The polygon pushed out by d from its centroid (for outlines)."""
    cx = sum(p[0] for p in pts) / len(pts)
    cy = sum(p[1] for p in pts) / len(pts)
    out = []
    for x, y in pts:
        l = math.hypot(x - cx, y - cy) or 1
        out.append((x + (x - cx) / l * d, y + (y - cy) / l * d))
    return out


def rotated_rect(cx, cy, w, h, deg):
    a = math.radians(deg)
    c, s = math.cos(a), math.sin(a)
    pts = []
    for dx, dy in ((-w / 2, -h / 2), (w / 2, -h / 2), (w / 2, h / 2), (-w / 2, h / 2)):
        pts.append((cx + dx * c - dy * s, cy + dx * s + dy * c))
    return pts


def render(shapes):
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = px + (sx + 0.5) / SS
                    y = py + (sy + 0.5) / SS
                    col = None
                    for test, c in shapes:
                        if test(x, y):
                            col = c
                    if col is not None:
                        acc[0] += col[0]; acc[1] += col[1]; acc[2] += col[2]; acc[3] += 1
            n = SS * SS
            a = acc[3] / n
            if acc[3]:
                row += [round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(a * 255)]
            else:
                row += [0, 0, 0, 0]
        rows.append(row)
    return rows


DARK = hexrgb("#1b1b1b")
WHITE = hexrgb("#ffffff")


def badge(fill, symbol_shapes):
    """A round badge with a dark rim and a white symbol."""
    return [(circle(24, 24, 22), DARK), (circle(24, 24, 20), hexrgb(fill))] + [(s, WHITE) for s in symbol_shapes]


def play():
    return [poly([(18, 13), (18, 35), (36, 24)])]


def square():
    return [rrect(15, 15, 33, 33, 2)]


def icons():
    folder_back = [(6, 9), (19, 9), (23, 13), (42, 13), (42, 39), (6, 39)]
    folder_front = [(11, 19), (46, 19), (39, 39), (3, 39)]
    yield "Open", [
        (poly(grow(folder_back, 1.8)), DARK), (poly(folder_back), hexrgb("#d9922e")),
        (poly(grow(folder_front, 1.8)), DARK), (poly(folder_front), hexrgb("#ffc857")),
    ]
    yield "Save", [
        (rrect(5, 5, 43, 43, 5), DARK), (rrect(7, 7, 41, 41, 4), hexrgb("#3d8fd6")),
        (rrect(14, 7, 34, 19, 1), hexrgb("#e8eef5")), (rrect(28, 9, 32, 17, 0.5), hexrgb("#2a5f8f")),
        (rrect(12, 25, 36, 41, 2), WHITE),
        (rrect(15, 29, 33, 30.5), hexrgb("#9aa9b8")), (rrect(15, 33, 33, 34.5), hexrgb("#9aa9b8")),
    ]
    yield "Start", badge("#27ae60", play())
    yield "Start2", [(circle(24, 24, 22), DARK), (circle(24, 24, 20), hexrgb("#6b6b6b")),
                     (play()[0], hexrgb("#a8a8a8"))]
    yield "Stop", badge("#e0392b", square())
    yield "Stop2", [(circle(24, 24, 22), DARK), (circle(24, 24, 20), hexrgb("#6b6b6b")),
                    (square()[0], hexrgb("#a8a8a8"))]
    body = rotated_rect(24, 22, 30, 15, -40)
    tip = rotated_rect(15.5, 29.2, 9, 15, -40)
    yield "Clear", [
        (rrect(8, 38, 42, 42, 2), hexrgb("#d0d0d0")),
        (poly(grow(body, 2)), DARK), (poly(body), hexrgb("#f07a8a")),
        (poly(tip), hexrgb("#f4f4f4")),
    ]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for name, shapes in icons():
        png(os.path.join(out, name + ".png"), render(shapes))
        print(name)


if __name__ == "__main__":
    main()
