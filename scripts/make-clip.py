#!/usr/bin/env python3
"""Draws the progress window's search animation: a torch whose beam sweeps
about and lights up a folder. 80 x 50 pixels, 29 frames at 6 frames a second,
16-colour VGA palette, cyan background (the transparent colour).

Writes an animated GIF with nothing but the standard library:
    scripts/make-clip.py resources/clip/search.gif
"""
import math
import struct
import sys

W, H, FRAMES = 80, 50, 29

# Standard 16-colour VGA palette.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARKYELLOW, LIGHTGRAY, GRAY, YELLOW, CYAN, WHITE = 0, 3, 7, 8, 11, 14, 15


def frame(i):
    px = [[CYAN] * W for _ in range(H)]

    def put(x, y, c):
        if 0 <= x < W and 0 <= y < H:
            px[y][x] = c

    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                put(x, y, c)

    # The beam sweeps from above the folder, across it, and back.
    phase = i / FRAMES * 2 * math.pi
    angle = math.radians(-25) + math.radians(22) * math.sin(phase)  # radians from horizontal
    ox, oy = 17, 37  # torch head
    spread = math.radians(9)
    lit = False
    for y in range(H):
        for x in range(ox, W):
            a = math.atan2(y - oy, x - ox)
            if abs(a - angle) < spread and (x - ox) ** 2 + (y - oy) ** 2 < 62 ** 2:
                put(x, y, WHITE if abs(a - angle) < spread / 2 else YELLOW)
    # Folder on the right: lit while the beam's centre line crosses it.
    fx0, fy0, fx1, fy1 = 55, 24, 74, 40
    for d in range(0, 70):
        x = ox + d * math.cos(angle)
        y = oy + d * math.sin(angle)
        if fx0 <= x <= fx1 and fy0 - 3 <= y <= fy1:
            lit = True
    body = YELLOW if lit else DARKYELLOW
    rect(fx0, fy0 - 3, fx0 + 7, fy0 - 1, body)   # tab
    rect(fx0, fy0, fx1, fy1, body)
    for x in range(fx0, fx1 + 1):
        put(x, fy0, BLACK)
        put(x, fy1, BLACK)
    for y in range(fy0 - 3, fy1 + 1):
        put(fx0, y, BLACK)
    for y in range(fy0, fy1 + 1):
        put(fx1, y, BLACK)
    for x in range(fx0, fx0 + 8):
        put(x, fy0 - 3, BLACK)
    # Torch: a grey body pointing along the beam, a darker grip.
    for t in range(0, 14):
        cx = ox - t * math.cos(angle)
        cy = oy - t * math.sin(angle)
        for w in range(-2, 3):
            c = GRAY if t > 8 else LIGHTGRAY
            put(int(round(cx - w * math.sin(angle))), int(round(cy + w * math.cos(angle))), c)
    rect(ox - 1, oy - 1, ox + 1, oy + 1, WHITE)
    return px


def lzw(indices, min_code_size=4):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out, bits, nbits = bytearray(), 0, 0
    code_size = min_code_size + 1

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += code_size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    table = {(i,): i for i in range(clear)}
    next_code = end + 1
    emit(clear)
    w = ()
    for k in indices:
        wk = w + (k,)
        if wk in table:
            w = wk
            continue
        emit(table[w])
        if next_code < 4096:
            table[wk] = next_code
            next_code += 1
            if next_code > (1 << code_size) and code_size < 12:
                code_size += 1
        else:
            emit(clear)
            table = {(i,): i for i in range(clear)}
            next_code = end + 1
            code_size = min_code_size + 1
        w = (k,)
    if w:
        emit(table[w])
    emit(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif(frames):
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", W, H, 0xF3, 0, 0)  # global table of 16 colours
    for r, g, b in PALETTE:
        data += bytes((r, g, b))
    data += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop forever
    for n, px in enumerate(frames):
        delay = 16 if n % 3 == 2 else 17  # 1/6 s on average, in 1/100 s
        data += b"\x21\xF9\x04" + struct.pack("<BHBB", 0x09, delay, CYAN, 0)  # transparent cyan, restore bg
        data += b"\x2C" + struct.pack("<HHHHB", 0, 0, W, H, 0)
        data += bytes((4,))
        stream = lzw([c for row in px for c in row])
        for i in range(0, len(stream), 255):
            chunk = stream[i:i + 255]
            data += bytes((len(chunk),)) + chunk
        data += b"\x00"
    data += b"\x3B"
    return bytes(data)


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else "resources/clip/search.gif"
    with open(target, "wb") as f:
        f.write(gif([frame(i) for i in range(FRAMES)]))
