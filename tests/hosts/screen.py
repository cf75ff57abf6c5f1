# SPDX-License-Identifier: GPL-3.0-or-later
"""Finds the tray item's flag (deep blue with yellow stars, a blue found nowhere else on the stock panels) in a
screenshot and measures it; finds what changed between screenshots."""

from collections import namedtuple

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402


def is_flag_blue(rgb):
    r, g, b = rgb  # not the sky blue or cyan of panel themes and icons
    return r < 70 and g < 95 and b > 95 and b - g > 45


def distance(a, b):
    return sum(abs(p - q) for p, q in zip(a, b))


def median(colours):
    return tuple(sorted(c[i] for c in colours)[len(colours) // 2] for i in range(3))


class Image:
    def __init__(self, pixbuf):
        self.pixbuf, self.width, self.height = pixbuf, pixbuf.get_width(), pixbuf.get_height()
        self.pixels, self.stride = pixbuf.read_pixel_bytes().get_data(), pixbuf.get_rowstride()
        self.channels = pixbuf.get_n_channels()

    @classmethod
    def load(cls, path):
        return cls(GdkPixbuf.Pixbuf.new_from_file(str(path)))

    def save(self, box, path):
        x0, y0, x1, y1 = box
        self.pixbuf.new_subpixbuf(x0, y0, x1 - x0, y1 - y0).savev(str(path), "png", ["compression"], ["9"])

    def rgb(self, x, y):
        i = y * self.stride + x * self.channels
        return self.pixels[i], self.pixels[i + 1], self.pixels[i + 2]


class Flag(namedtuple("Flag", "left top right bottom width height background")):
    """Where the flag is on screen, its measured size and the panel's colour around it."""
    ratio = property(lambda self: self.width / self.height)
    centre = property(lambda self: ((self.left + self.right) // 2, (self.top + self.bottom) // 2))


def patches(points, reach):
    """points in groups whose members lie at most reach apart each way, chained."""
    points, groups = set(points), []
    while points:
        group, stack = [], [points.pop()]
        while stack:
            x, y = stack.pop()
            group.append((x, y))
            near = points & {(x + dx, y + dy) for dx in range(-reach, reach + 1) for dy in range(-reach, reach + 1)}
            points -= near
            stack.extend(near)
        groups.append(group)
    return groups


def find_flag(image, region=None, before=None):
    """The largest patch of the flag's blue in region (x0, y0, x1, y1) that is not in the screenshot before,
    measured; or None."""
    x0, y0, x1, y1 = region = region or (0, 0, image.width, image.height)
    blue = [(x, y) for y in range(y0, y1) for x in range(x0, x1) if is_flag_blue(image.rgb(x, y))
            and not (before and distance(image.rgb(x, y), before.rgb(x, y)) <= 40)]
    # The stars break the blue up at small sizes: pixels up to two apart are one patch.
    best = max(patches(blue, 2), key=len, default=[])
    return measure(image, best, region) if len(best) >= 6 else None


def measure(image, patch, region):
    x0, y0, x1, y1 = region
    left, right = min(p[0] for p in patch), max(p[0] for p in patch)
    top, bottom = min(p[1] for p in patch), max(p[1] for p in patch)
    flag = median([image.rgb(x, y) for x, y in patch])
    # The panel behind the picture: the ring just outside the patch.
    ring = [image.rgb(x, y) for y in range(top - 3, bottom + 4) for x in range(left - 3, right + 4)
            if x0 <= x < x1 and y0 <= y < y1 and not (left - 2 <= x <= right + 2 and top - 2 <= y <= bottom + 2)]
    background = median(ring) if ring else (128, 128, 128)
    axis = [f - b for f, b in zip(flag, background)]
    norm = sum(a * a for a in axis) or 1
    # Hosts draw the flag 8-16 px wide: a border pixel counts by how much of it the flag covers.
    columns, rows = {}, {}
    for y in range(max(y0, top - 2), min(y1, bottom + 3)):
        for x in range(max(x0, left - 2), min(x1, right + 3)):
            # How far the pixel lies from the panel towards the flag's blue.
            t = min(1.0, max(0.0, sum((c - b) * a for c, b, a in zip(image.rgb(x, y), background, axis)) / norm))
            columns[x], rows[y] = max(columns.get(x, 0), t), max(rows.get(y, 0), t)
    width, height = (sum(t for t in ts.values() if t > 0.1) for ts in (columns, rows))
    return Flag(left, top, right, bottom, width, height, background)


def pixmap_flag(width, height, argb, background):
    """The flag in an IconPixmap (ARGB, network byte order) over a panel of that colour, measured as on screen."""
    rgb = bytes((c * argb[i] + under * (255 - argb[i])) // 255
                for i in range(0, width * height * 4, 4) for c, under in zip(argb[i + 1:i + 4], background))
    return find_flag(Image(GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(rgb), GdkPixbuf.Colorspace.RGB, False, 8,
                                                           width, height, width * 3)))


def item_extent(image, flag):
    """The item's width: its ink from the flag rightwards to the first gap of panel colour."""
    y0, y1 = max(0, flag.top - 2), min(image.height, flag.bottom + 3)
    background = image.rgb(max(0, flag.left - 6), (flag.top + flag.bottom) // 2)
    last_ink = flag.right
    for x in range(flag.right + 1, image.width):
        if x - last_ink > 9:
            break
        if any(distance(image.rgb(x, y), background) > 60 for y in range(y0, y1)):
            last_ink = x
    return last_ink - flag.left


def changes(before, after, region, step=2):
    """The pixels (every step-th each way) in region (x0, y0, x1, y1) that differ between two screenshots."""
    x0, y0, x1, y1 = region
    return [(x, y) for y in range(y0, y1, step) for x in range(x0, x1, step)
            if distance(before.rgb(x, y), after.rgb(x, y)) > 40]


def changed_area(before, after, region, step=2):
    x0, y0, x1, y1 = region
    return len(changes(before, after, region, step)) / max(1, len(range(x0, x1, step)) * len(range(y0, y1, step)))


def changed_box(before, after, region):
    """The box (x0, y0, x1, y1) around what changed in region, or None."""
    points = changes(before, after, region)
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return (min(xs), min(ys), max(xs) + 2, max(ys) + 2) if points else None


def text_rows(image, box):
    """The lines of text in a menu: bands of rows holding pixels far from the menu's colour, at least 7 px high
    (separators are thinner) and never inked across (borders and edges are)."""
    x0, y0, x1, y1 = box
    x0, x1 = x0 + 14, x1 - 14  # not the menu's borders and rounded corners
    background = median([image.rgb(x, y) for y in range(y0, y1, 3) for x in range(x0, x1, 3)])
    bands, start, widest = [], None, 0
    for y in range(y0, y1 + 1):
        ink = 0 if y == y1 else sum(1 for x in range(x0, x1) if distance(image.rgb(x, y), background) > 100)
        if ink >= 2:
            start = y if start is None else start
            widest = max(widest, ink)
        elif start is not None:
            if y - start >= 7 and widest < 0.6 * (x1 - x0):
                bands.append((start, y))
            start, widest = None, 0
    return bands


def menu_box(before, after, beside, near_x, cell=8):
    """Where a menu opened near x = near_x: the patch of change beside the panel nearest to it (a notification
    elsewhere is another patch), grown over the panel's rows that the menu covers too."""
    found = patches({(x // cell, y // cell) for x, y in changes(before, after, beside)}, 1)
    if not found:
        return None

    def away(patch):
        return max(0, min(patch)[0] * cell - near_x, near_x - max(patch)[0] * cell - cell)

    patch = min(found, key=lambda p: (away(p), -len(p)))
    xs, ys, (bx0, by0, bx1, by1) = [c[0] for c in patch], [c[1] for c in patch], beside
    box = changed_box(before, after, (max(bx0, min(xs) * cell), max(by0, min(ys) * cell),
                                      min(bx1, max(xs) * cell + cell), min(by1, max(ys) * cell + cell)))
    if not box:
        return None
    x0, y0, x1, y1 = box

    def covered(y):
        return sum(1 for x in range(x0, x1) if distance(before.rgb(x, y), after.rgb(x, y)) > 40) >= 0.6 * (x1 - x0)

    while y0 > 0 and covered(y0 - 1):
        y0 -= 1
    while y1 < before.height and covered(y1):
        y1 += 1
    return (x0, y0, x1, y1)
