#!/usr/bin/env python3
"""Draws the demo skin: eight 640 x 480 PNG pictures and skin.ini in Skins/default.

The skin is a translucent panel across the upper part of the window with four buttons:
previous, play/pause, next and open (which also closes the player). The mask paints
each button's area in the default colours of skin.ini: play red, previous green, next
blue, open/close yellow. Only the Python standard library is used.
"""
import os
import struct
import sys
import zlib

W, H = 640, 480
# Button areas (left, top, right, bottom), right and bottom exclusive. Kept clear of the
# information labels (top row, y < 34 at x 83-240 and 424-549; 462-573 at y 162-187).
PANEL = (30, 50, 610, 160)
PREV = (60, 60, 160, 150)
PLAY = (200, 60, 320, 150)
NEXT = (360, 60, 460, 150)
OPEN = (500, 60, 600, 150)


def png(path, pixels):
    """pixels: bytearray of W*H*4 RGBA bytes."""
    raw = bytearray()
    for y in range(H):
        raw.append(0)
        raw += pixels[y * W * 4:(y + 1) * W * 4]

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


def inside_rounded(x, y, box, r):
    l, t, rr, b = box
    if not (l <= x < rr and t <= y < b):
        return False
    cx = min(max(x, l + r), rr - 1 - r)
    cy = min(max(y, t + r), b - 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def triangle_right(x, y, cx, cy, size):
    """A triangle pointing right, centred at (cx, cy)."""
    dx, dy = x - (cx - size // 2), y - cy
    return 0 <= dx < size and abs(dy) <= (size - dx) * 0.6


def triangle_left(x, y, cx, cy, size):
    return triangle_right(2 * cx - x, y, cx, cy, size)


def icon(name, x, y, box):
    l, t, r, b = box
    cx, cy = (l + r) // 2, (t + b) // 2
    if name == "play":
        return triangle_right(x, y, cx + 4, cy, 40)
    if name == "pause":
        return abs(y - cy) <= 20 and (cx - 16 <= x < cx - 4 or cx + 4 <= x < cx + 16)
    if name == "prev":
        return (triangle_left(x, y, cx - 10, cy, 26) or triangle_left(x, y, cx + 14, cy, 26)
                or (cx - 30 <= x < cx - 24 and abs(y - cy) <= 15))
    if name == "next":
        return (triangle_right(x, y, cx + 10, cy, 26) or triangle_right(x, y, cx - 14, cy, 26)
                or (cx + 24 <= x < cx + 30 and abs(y - cy) <= 15))
    if name == "open":
        up = y - (cy - 18)
        return (0 <= up < 22 and abs(x - cx) <= up * 1.2) or (cy + 10 <= y < cy + 18 and abs(x - cx) <= 26)
    return False


def skin(state, pressed):
    """state: "play" or "pause" icon on the middle button; pressed: the button drawn pressed."""
    px = bytearray(W * H * 4)
    buttons = [("prev", PREV), (state, PLAY), ("next", NEXT), ("open", OPEN)]
    for y in range(PANEL[1], PANEL[3]):
        for x in range(PANEL[0], PANEL[2]):
            if not inside_rounded(x, y, PANEL, 18):
                continue
            rgba = (20, 24, 32, 170)  # the translucent panel
            for name, box in buttons:
                if inside_rounded(x, y, box, 14):
                    down = pressed == box
                    rgba = (230, 150, 40, 235) if down else (60, 70, 90, 230)
                    if icon(name, x, y, box):
                        rgba = (255, 255, 255, 255) if not down else (40, 20, 0, 255)
                    elif not inside_rounded(x, y, (box[0] + 2, box[1] + 2, box[2] - 2, box[3] - 2), 12):
                        rgba = (200, 210, 230, 255)  # rim
            i = (y * W + x) * 4
            px[i:i + 4] = bytes(rgba)
    return px


def mask():
    px = bytearray(W * H * 4)
    for i in range(W * H):
        px[i * 4 + 3] = 255  # opaque black: no button
    colours = [(PLAY, (255, 0, 0)), (PREV, (0, 255, 0)), (NEXT, (0, 0, 255)), (OPEN, (255, 255, 0))]
    for box, rgb in colours:
        for y in range(box[1], box[3]):
            for x in range(box[0], box[2]):
                if inside_rounded(x, y, box, 14):
                    i = (y * W + x) * 4
                    px[i:i + 4] = bytes(rgb + (255,))
    return px


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "Skins", "default")
    os.makedirs(out, exist_ok=True)
    pictures = {
        "play.png": skin("play", None),
        "play1.png": skin("play", PLAY),
        "pause.png": skin("pause", None),
        "pause1.png": skin("pause", PLAY),
        "left1.png": skin("pause", PREV),
        "right1.png": skin("pause", NEXT),
        "open1.png": skin("play", OPEN),
        "mask.png": mask(),
    }
    for name, px in pictures.items():
        png(os.path.join(out, name), px)
    with open(os.path.join(out, "skin.ini"), "w") as f:
        f.write("[images]\nplay=play.png\nplay1=play1.png\npause=pause.png\npause1=pause1.png\n"
                "left1=left1.png\nright1=right1.png\nopen1=open1.png\n\n"
                "[buttons]\nmask=mask.png\nColPlay=255\nColLeft=65280\nColRight=16711680\n"
                "ColOpen=65535\nColClose=65535\n")


if __name__ == "__main__":
    main()
