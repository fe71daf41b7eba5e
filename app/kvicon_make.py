#!/usr/bin/env python3
"""Draws the program icon (48 x 48, 77 colours: 76 opaque and "None") and writes app/kvicon.xpm.

A USB trident on a dark slate tile with a green logic trace under it. Shapes are sampled 4 x 4
per pixel, then the colours are reduced to 76 with a deterministic k-means.
"""
import math
import os

SIZE = 48
SUB = 4
COLOURS = 76  # opaque colours; "None" makes 77
CHARS = "".join(chr(c) for c in range(35, 127) if chr(c) not in '"\\')


def in_round_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def on_segment(x, y, ax, ay, bx, by, w):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= (w / 2) ** 2


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


WHITE = (245, 248, 250)
GREEN = (80, 230, 120)


def sample(x, y):
    """Colour at a point, or None outside the tile."""
    if not in_round_rect(x, y, 1, 1, 47, 47, 9):
        return None
    t = y / SIZE
    colour = (int(58 - 30 * t), int(86 - 40 * t), int(112 - 50 * t))
    if not in_round_rect(x, y, 2.2, 2.2, 45.8, 45.8, 8):
        colour = (120, 150, 170)  # light rim
    # Trident: stem, arrow head, two arms with a ball and a square, ball at the foot.
    trident = (
        on_segment(x, y, 24, 9, 24, 31, 2.6)
        or in_triangle(x, y, (24, 4), (19.5, 11), (28.5, 11))
        or on_segment(x, y, 24, 26, 14, 19, 2.4)
        or on_segment(x, y, 14, 19, 14, 15, 2.4)
        or (x - 14) ** 2 + (y - 13.5) ** 2 <= 3.2 ** 2
        or on_segment(x, y, 24, 23, 33, 17, 2.4)
        or on_segment(x, y, 33, 17, 33, 15, 2.4)
        or (30.2 <= x <= 35.8 and 10.5 <= y <= 16.1)
        or (x - 24) ** 2 + (y - 32) ** 2 <= 3.6 ** 2)
    if trident:
        colour = WHITE
    # Logic trace: low, high, low, high, low along the bottom.
    trace = [(6, 43), (12, 43), (12, 38), (20, 38), (20, 43), (27, 43), (27, 38), (36, 38),
             (36, 43), (42, 43)]
    if any(on_segment(x, y, *trace[i], *trace[i + 1], 1.8) for i in range(len(trace) - 1)):
        colour = GREEN
    return colour


def render():
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc, hits = [0, 0, 0], 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = sample(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    if c:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            # A pixel less than half covered stays transparent; edges blend with the tile.
            row.append(tuple(round(a / hits) for a in acc) if hits * 2 >= SUB * SUB else None)
        pixels.append(row)
    return pixels


def dist(a, b):
    return sum((a[k] - b[k]) ** 2 for k in range(3))


def reduce(pixels):
    points = [p for row in pixels for p in row if p]
    distinct = sorted(set(points), key=lambda c: (-points.count(c), c))
    assert len(distinct) >= COLOURS, "drawing has too few colours"
    centres = [list(c) for c in distinct[:COLOURS]]
    for _ in range(20):
        groups = [[] for _ in centres]
        for p in points:
            groups[min(range(len(centres)), key=lambda i: dist(p, centres[i]))].append(p)
        for i, g in enumerate(groups):
            if g:
                centres[i] = [sum(c[k] for c in g) / len(g) for k in range(3)]
            else:  # re-seed an empty cluster at the point worst served
                far = max(points, key=lambda p: min(dist(p, c) for c in centres))
                centres[i] = list(far)
    palette = []
    for c in centres:
        c = tuple(max(0, min(255, round(v))) for v in c)
        while c in palette:  # keep the 76 entries distinct
            c = (c[0], c[1], (c[2] + 1) % 256)
        palette.append(c)
    used = set()
    out = []
    for row in pixels:
        line = []
        for p in row:
            if p is None:
                line.append(None)
            else:
                i = min(range(len(palette)), key=lambda j: dist(p, palette[j]))
                used.add(i)
                line.append(i)
        out.append(line)
    assert len(used) == COLOURS, f"only {len(used)} colours in use"
    return palette, out


def main():
    palette, image = reduce(render())
    none_char = CHARS[COLOURS]
    lines = [f"{SIZE} {SIZE} {COLOURS + 1} 1"]
    lines += [f"{CHARS[i]} c #{r:02x}{g:02x}{b:02x}" for i, (r, g, b) in enumerate(palette)]
    lines.append(f"{none_char} c None")
    lines += ["".join(none_char if i is None else CHARS[i] for i in row) for row in image]
    body = ",\n".join(f'"{line}"' for line in lines)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kvicon.xpm")
    with open(path, "w") as f:
        f.write("/* XPM */\n/* Program icon, 48 x 48, 77 colours; made by kvicon_make.py. */\n")
        f.write("static const char* const kvicon_xpm[] = {\n" + body + "};\n")


if __name__ == "__main__":
    main()
