#!/usr/bin/env python3
"""Draws the program's artwork and writes the PNG and ICO files beside this script.

The images are committed; run this only to change the artwork. Pure Python (zlib and
struct only), so it needs nothing beyond the interpreter. Shapes are described as
coverage functions and rendered with 4 x 4 supersampling for smooth edges.

The desktop icon is the logo: drawn at the hicolor theme's usual sizes and as an SVG with
the same geometry, into packaging/icons/hicolor/, from where the install rules take it.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def render(width, height, layers):
    """layers: list of (coverage(x, y) -> bool, (r, g, b, a)); later layers paint over earlier."""
    pixels = []
    ss = 4
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    x = px + (sx + 0.5) / ss
                    y = py + (sy + 0.5) / ss
                    colour = (0, 0, 0, 0)
                    for inside, col in layers:
                        if inside(x, y):
                            colour = col
                    a = colour[3] / 255.0
                    acc[0] += colour[0] * a
                    acc[1] += colour[1] * a
                    acc[2] += colour[2] * a
                    acc[3] += a
            n = ss * ss
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [int(round(acc[i] / acc[3])) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], int(round(alpha * 255))))
        pixels.append(row)
    return pixels


def write_png(path, pixels):
    height = len(pixels)
    width = len(pixels[0])
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for p in row:
            raw.extend(p)

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_ico(path, pixels):
    """One 32 x 32 image, 32 bits per pixel, stored as a bottom-up BGRA bitmap plus AND mask."""
    height = len(pixels)
    width = len(pixels[0])
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor.extend((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask.extend(bits)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(and_mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def polygon(points):
    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def go_button(w, h):
    cx, cy = w / 2, h / 2
    r = min(w, h) / 2 - 4
    tri = [(cx - r * 0.32, cy - r * 0.5), (cx - r * 0.32, cy + r * 0.5), (cx + r * 0.52, cy)]
    return render(w, h, [
        (circle(cx, cy + 3, r), (20, 60, 30, 90)),          # soft shadow
        (circle(cx, cy, r), (28, 140, 72, 255)),
        (circle(cx - r * 0.15, cy - r * 0.2, r * 0.78), (46, 170, 92, 255)),
        (ring(cx, cy, r, r - 6), (18, 105, 52, 255)),
        (polygon(tri), (250, 250, 245, 255)),
    ])


def open_folder(w, h):
    s = w / 24.0
    back = polygon([(2 * s, 5 * s), (9 * s, 5 * s), (11 * s, 7 * s), (21 * s, 7 * s),
                    (21 * s, 19 * s), (2 * s, 19 * s)])
    front = polygon([(4 * s, 10 * s), (23 * s, 10 * s), (20.5 * s, 19.5 * s), (1.5 * s, 19.5 * s)])
    return render(w, h, [
        (back, (176, 128, 40, 255)),
        (front, (236, 184, 72, 255)),
    ])


def settings_gear(w, h):
    cx, cy = w / 2, h / 2

    def gear(x, y):
        dx, dy = x - cx, y - cy
        d = math.hypot(dx, dy)
        ang = math.atan2(dy, dx)
        tooth = (math.cos(ang * 8) > 0.3)
        outer = 21 if tooth else 16.5
        return 7.5 <= d <= outer
    return render(w, h, [
        (gear, (90, 98, 112, 255)),
        (ring(cx, cy, 12.5, 7.5), (130, 140, 156, 255)),
    ])


NAVY = (24, 44, 96)
GOLD = (240, 196, 64)
WHITE = (255, 255, 255)


def logo_geometry(size):
    """The logo's shapes for a square of this size: disc, ring, tail and centre square."""
    c = size / 2.0
    r = size / 2.0 - size * 0.04
    band = size * 0.13
    return {
        "centre": c,
        "radius": r,
        "ring_outer": r * 0.72,
        "ring_inner": r * 0.72 - band,
        "tail": [(c + r * 0.25, c + r * 0.25), (c + r * 0.45, c + r * 0.1),
                 (c + r * 1.0, c + r * 0.78), (c + r * 0.8, c + r * 0.95)],
        "square": (c - r * 0.08, c - r * 0.08, c + r * 0.08, c + r * 0.08),
    }


def logo(size):
    g = logo_geometry(size)
    c = g["centre"]
    return render(size, size, [
        (circle(c, c, g["radius"]), NAVY + (255,)),
        (ring(c, c, g["ring_outer"], g["ring_inner"]), GOLD + (255,)),
        (polygon(g["tail"]), GOLD + (255,)),
        (rect(*g["square"]), WHITE + (255,)),
    ])


def logo_svg(size):
    """The logo as a vector image with the raster drawing's geometry."""
    g = logo_geometry(size)
    c = g["centre"]

    def colour(rgb):
        return "#%02x%02x%02x" % rgb

    def num(value):
        return ("%.2f" % value).rstrip("0").rstrip(".")

    ring_radius = (g["ring_outer"] + g["ring_inner"]) / 2
    ring_width = g["ring_outer"] - g["ring_inner"]
    tail = " ".join("%s,%s" % (num(x), num(y)) for x, y in g["tail"])
    x0, y0, x1, y1 = g["square"]
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">\n'
        '  <circle cx="%s" cy="%s" r="%s" fill="%s"/>\n'
        '  <circle cx="%s" cy="%s" r="%s" fill="none" stroke="%s" stroke-width="%s"/>\n'
        '  <polygon points="%s" fill="%s"/>\n'
        '  <rect x="%s" y="%s" width="%s" height="%s" fill="%s"/>\n'
        '</svg>\n'
    ) % (size, size, size, size,
         num(c), num(c), num(g["radius"]), colour(NAVY),
         num(c), num(c), num(ring_radius), colour(GOLD), num(ring_width),
         tail, colour(GOLD),
         num(x0), num(y0), num(x1 - x0), num(y1 - y0), colour(WHITE))


APP_ID = "example.morlunex.Transcoder"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def write_desktop_icons():
    theme = os.path.join(HERE, "..", "..", "packaging", "icons", "hicolor")
    for size in ICON_SIZES:
        folder = os.path.join(theme, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, APP_ID + ".png"), logo(size))
    folder = os.path.join(theme, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, APP_ID + ".svg"), "w") as f:
        f.write(logo_svg(256))


def main():
    write_png(os.path.join(HERE, "go.png"), go_button(224, 225))
    write_png(os.path.join(HERE, "open.png"), open_folder(24, 24))
    write_png(os.path.join(HERE, "settings.png"), settings_gear(48, 48))
    write_png(os.path.join(HERE, "quorvanta.png"), logo(79))
    write_ico(os.path.join(HERE, "quorvanta.ico"), logo(32))
    write_desktop_icons()


if __name__ == "__main__":
    main()
