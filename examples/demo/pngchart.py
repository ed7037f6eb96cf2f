"""A small bar chart written as a PNG with zlib and struct only (no imaging library)."""

from __future__ import annotations

import struct
import zlib
from collections.abc import Sequence

# 3x5 digit glyphs, one string of 15 bits per digit, rows top to bottom.
_DIGITS = {
    "0": "111101101101111", "1": "010110010010111", "2": "111001111100111",
    "3": "111001111001111", "4": "101101111001001", "5": "111100111001111",
    "6": "111100111101111", "7": "111001001001001", "8": "111101111101111",
    "9": "111101111001111",
}  # fmt: skip

_PALETTE = [(52, 101, 164), (78, 154, 6), (206, 92, 0), (117, 80, 123), (196, 160, 0)]
_BACKGROUND = (255, 255, 255)
_AXIS = (46, 52, 54)


def _chunk(kind: bytes, data: bytes) -> bytes:
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(width: int, height: int, pixels: Sequence[bytearray]) -> bytes:
    """An 8-bit RGB PNG from rows of width*3 bytes each."""
    if len(pixels) != height or any(len(row) != width * 3 for row in pixels):
        raise ValueError("pixel rows do not match the image size")
    raw = b"".join(b"\x00" + bytes(row) for row in pixels)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _chunk(b"IHDR", header)
        + _chunk(b"IDAT", zlib.compress(raw, 9))
        + _chunk(b"IEND", b"")
    )


class _Canvas:
    def __init__(self, width: int, height: int) -> None:
        self.width, self.height = width, height
        self.rows = [bytearray(bytes(_BACKGROUND) * width) for _ in range(height)]

    def rect(self, x0: int, y0: int, x1: int, y1: int, colour: tuple[int, int, int]) -> None:
        x0, x1 = max(0, x0), min(self.width, x1)
        y0, y1 = max(0, y0), min(self.height, y1)
        if x0 >= x1:
            return
        span = bytes(colour) * (x1 - x0)
        for y in range(y0, y1):
            self.rows[y][x0 * 3 : x1 * 3] = span

    def number(self, x: int, y: int, text: str, colour: tuple[int, int, int], scale: int) -> None:
        for digit in text:
            glyph = _DIGITS.get(digit)
            if glyph is not None:
                for i, bit in enumerate(glyph):
                    if bit == "1":
                        gx, gy = x + (i % 3) * scale, y + (i // 3) * scale
                        self.rect(gx, gy, gx + scale, gy + scale, colour)
            x += 4 * scale


def bar_chart(values: Sequence[int], width: int = 320, height: int = 200) -> bytes:
    """PNG bytes of a bar chart of non-negative integers, each bar labelled with its value."""
    if not values:
        values = [0]
    canvas = _Canvas(width, height)
    margin, top, scale = 20, 24, 2
    base = height - margin
    canvas.rect(margin, top - 4, margin + 2, base + 2, _AXIS)
    canvas.rect(margin, base, width - margin // 2, base + 2, _AXIS)
    slot = (width - 2 * margin) // len(values)
    peak = max(max(values), 1)
    for i, value in enumerate(values):
        value = max(int(value), 0)
        bar_h = (base - top) * value // peak
        x0 = margin + 6 + i * slot
        x1 = x0 + max(slot - 12, 2)
        canvas.rect(x0, base - bar_h, x1, base, _PALETTE[i % len(_PALETTE)])
        label = str(value)
        label_x = x0 + max((x1 - x0 - len(label) * 4 * scale) // 2, 0)
        canvas.number(label_x, base - bar_h - 6 * scale, label, _AXIS, scale)
    return encode_png(width, height, canvas.rows)
