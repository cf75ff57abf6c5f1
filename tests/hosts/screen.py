# SPDX-License-Identifier: GPL-3.0-or-later
"""Finds the tray item's flag in a screenshot and measures it.

The picture is a flag emoji (a deep blue field with yellow stars) beside a
grey antenna. That blue is found nowhere else on the stock panels we start, so
its largest patch locates the item, and the patch's extent gives the
proportions the host drew it with. Hosts scale the picture down to 8-16 px of
flag, so extents are measured with sub-pixel coverage: a border pixel counts by
how far its colour has moved from the panel's towards the flag's, which is how
much of it the flag covers.
"""

import subprocess

def is_flag_blue(rgb):
    """Pixels mostly covered by the flag's deep blue (not the sky blue or
    cyan of panel themes and icons)."""
    r, g, b = rgb
    return r < 70 and g < 95 and b > 95 and b - g > 45


class Image:
    def __init__(self, path, crop=None):
        args = ["convert", str(path)]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
        data = subprocess.run(args + ["-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
        magic, size, _maxval, pixels = data.split(b"\n", 3)
        assert magic == b"P6"
        self.width, self.height = map(int, size.split())
        self.pixels = pixels
        self.origin = (crop[2], crop[3]) if crop else (0, 0)

    def rgb(self, x, y):
        i = (y * self.width + x) * 3
        return self.pixels[i], self.pixels[i + 1], self.pixels[i + 2]


class Flag:
    """Where the flag is (screen coordinates) and its measured size."""

    def __init__(self, left, top, right, bottom, width, height, background):
        self.left, self.top, self.right, self.bottom = left, top, right, bottom
        self.width, self.height = width, height
        self.background = background  # the panel's colour around it

    @property
    def ratio(self):
        return self.width / self.height

    @property
    def centre(self):
        return ((self.left + self.right) // 2, (self.top + self.bottom) // 2)

    def __repr__(self):
        return "flag %.1fx%.1f px (ratio %.2f) at %d,%d" % (
            self.width, self.height, self.ratio, self.left, self.top)


def find_flag(image, region=None, before=None):
    """The largest patch of the flag's blue in region (x0, y0, x1, y1 of the
    image) that is not in the screenshot before, measured; or None."""
    x0, y0, x1, y1 = region or (0, 0, image.width, image.height)
    seen = set()
    best = []

    def new(x, y):
        return before is None or sum(abs(p - q) for p, q in zip(image.rgb(x, y), before.rgb(x, y))) > 40

    for y in range(y0, y1):
        for x in range(x0, x1):
            if (x, y) in seen or not is_flag_blue(image.rgb(x, y)) or not new(x, y):
                continue
            # The stars break the blue up at small sizes: join pixels up to
            # two apart.
            patch, stack = [], [(x, y)]
            seen.add((x, y))
            while stack:
                px, py = stack.pop()
                patch.append((px, py))
                for dy in range(-2, 3):
                    for dx in range(-2, 3):
                        nx, ny = px + dx, py + dy
                        if x0 <= nx < x1 and y0 <= ny < y1 and (nx, ny) not in seen \
                                and is_flag_blue(image.rgb(nx, ny)):
                            seen.add((nx, ny))
                            stack.append((nx, ny))
            if len(patch) > len(best):
                best = patch
    if len(best) < 6:
        return None
    return _measure(image, best, (x0, y0, x1, y1))


def _median(colours):
    return tuple(sorted(c[i] for c in colours)[len(colours) // 2] for i in range(3))


def _measure(image, patch, region):
    x0, y0, x1, y1 = region
    left, right = min(p[0] for p in patch), max(p[0] for p in patch)
    top, bottom = min(p[1] for p in patch), max(p[1] for p in patch)
    flag = _median([image.rgb(x, y) for x, y in patch])
    # The panel behind the picture: the ring just outside the patch.
    ring = [image.rgb(x, y) for y in range(top - 3, bottom + 4) for x in range(left - 3, right + 4)
            if x0 <= x < x1 and y0 <= y < y1 and not (left - 2 <= x <= right + 2 and top - 2 <= y <= bottom + 2)]
    background = _median(ring) if ring else (128, 128, 128)
    axis = [f - b for f, b in zip(flag, background)]
    norm = sum(a * a for a in axis) or 1

    def coverage(x, y):
        # How far the pixel lies from the panel towards the flag's blue.
        rgb = image.rgb(x, y)
        t = sum((c - b) * a for c, b, a in zip(rgb, background, axis)) / norm
        return min(1.0, max(0.0, t))

    columns, rows = {}, {}
    for y in range(max(y0, top - 2), min(y1, bottom + 3)):
        for x in range(max(x0, left - 2), min(x1, right + 3)):
            t = coverage(x, y)
            columns[x] = max(columns.get(x, 0), t)
            rows[y] = max(rows.get(y, 0), t)
    width = sum(t for t in columns.values() if t > 0.1)
    height = sum(t for t in rows.values() if t > 0.1)
    ox, oy = image.origin
    return Flag(ox + left, oy + top, ox + right, oy + bottom, width, height, background)


def pixmap_flag(width, height, argb, background=(128, 128, 128)):
    """Measures the flag in an IconPixmap (ARGB, network byte order) drawn
    over a panel of the given colour, the same way as on screen."""
    ppm = bytearray()
    for i in range(0, width * height * 4, 4):
        a = argb[i]
        for c, under in zip(argb[i + 1:i + 4], background):
            ppm.append((c * a + under * (255 - a)) // 255)

    class Raw(Image):
        def __init__(self):
            self.width, self.height, self.pixels, self.origin = width, height, bytes(ppm), (0, 0)

    return find_flag(Raw())


def changed_area(before, after, region, threshold=40, step=2):
    """The share of pixels in region (x0, y0, x1, y1) that differ between two
    screenshots of the same size (every step-th pixel each way): a menu that
    opened covers a good part."""
    x0, y0, x1, y1 = region
    changed = total = 0
    for y in range(y0, y1, step):
        for x in range(x0, x1, step):
            total += 1
            if sum(abs(p - q) for p, q in zip(before.rgb(x, y), after.rgb(x, y))) > threshold:
                changed += 1
    return changed / max(1, total)


def changed_box(before, after, region, threshold=40):
    """The bounding box (x0, y0, x1, y1) of what differs between two
    screenshots within region, or None."""
    x0, y0, x1, y1 = region
    xs, ys = [], []
    for y in range(y0, y1, 2):
        for x in range(x0, x1, 2):
            if sum(abs(p - q) for p, q in zip(before.rgb(x, y), after.rgb(x, y))) > threshold:
                xs.append(x)
                ys.append(y)
    if not xs:
        return None
    return (min(xs), min(ys), max(xs) + 2, max(ys) + 2)


def text_rows(image, box, threshold=100):
    """The lines of text in a menu: bands of rows holding pixels far from the
    menu's own colour, at least 7 px high (separators are thinner) and never
    inked across (borders and edges are)."""
    x0, y0, x1, y1 = box
    x0, x1 = x0 + 14, x1 - 14  # leave out the menu's borders and rounded corners
    background = _median([image.rgb(x, y) for y in range(y0, y1, 3) for x in range(x0, x1, 3)])
    bands, start, widest = [], None, 0
    for y in range(y0, y1 + 1):
        ink = 0 if y == y1 else sum(1 for x in range(x0, x1)
                                    if sum(abs(p - q) for p, q in zip(image.rgb(x, y), background)) > threshold)
        if ink >= 2:
            start = y if start is None else start
            widest = max(widest, ink)
        elif start is not None:
            if y - start >= 7 and widest < 0.6 * (x1 - x0):
                bands.append((start, y))
            start, widest = None, 0
    return bands


def menu_box(before, after, beside, near_x, threshold=40, cell=8):
    """Where a menu opened near x = near_x: the patch of change beside the
    panel nearest to it (a notification elsewhere is another patch), grown
    over the panel's rows that the menu covers too."""
    x0, y0, x1, y1 = beside

    def differs(x, y):
        return sum(abs(p - q) for p, q in zip(before.rgb(x, y), after.rgb(x, y))) > threshold

    cells = {(cx, cy) for cy in range(y0 // cell, (y1 + cell - 1) // cell)
             for cx in range(x0 // cell, (x1 + cell - 1) // cell)
             if any(differs(x, y) for y in range(max(y0, cy * cell), min(y1, cy * cell + cell), 2)
                    for x in range(max(x0, cx * cell), min(x1, cx * cell + cell), 2))}
    patches = []
    while cells:
        patch, stack = set(), [cells.pop()]
        while stack:
            c = stack.pop()
            patch.add(c)
            for n in ((c[0] + 1, c[1]), (c[0] - 1, c[1]), (c[0], c[1] + 1), (c[0], c[1] - 1)):
                if n in cells:
                    cells.remove(n)
                    stack.append(n)
        patches.append(patch)
    if not patches:
        return None

    def distance(patch):
        left, right = min(c[0] for c in patch) * cell, max(c[0] for c in patch) * cell + cell
        return 0 if left <= near_x <= right else min(abs(near_x - left), abs(near_x - right))

    patch = min(patches, key=lambda p: (distance(p), -len(p)))
    region = (max(x0, min(c[0] for c in patch) * cell), max(y0, min(c[1] for c in patch) * cell),
              min(x1, max(c[0] for c in patch) * cell + cell), min(y1, max(c[1] for c in patch) * cell + cell))
    box = changed_box(before, after, region, threshold)
    if not box:
        return None
    x0, y0, x1, y1 = box

    def covered(y):
        changed = sum(1 for x in range(x0, x1) if differs(x, y))
        return changed >= 0.6 * (x1 - x0)

    while y0 > 0 and covered(y0 - 1):
        y0 -= 1
    while y1 < before.height and covered(y1):
        y1 += 1
    return (x0, y0, x1, y1)
