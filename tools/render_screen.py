#!/usr/bin/env python3
"""Renders a terminal screen captured with `tmux capture-pane -p` (UTF-8 text) to a PNG picture.

Used to make the README's screenshot from a real session. Needs Debian's python3-pil and
fonts-wqy-microhei (a monospaced font with the Chinese characters); wide characters take two cells.

usage: render_screen.py CAPTURE.txt OUT.png [--title TEXT]
"""
import argparse
import unicodedata

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
FONT_INDEX = 1  # the "Mono" face of the collection
CELL_W, CELL_H, FONT_SIZE, MARGIN, BAR = 10, 20, 18, 12, 28
BACKGROUND, FOREGROUND, BAR_COLOUR, BAR_TEXT = (30, 30, 30), (220, 220, 220), (60, 60, 60), (235, 235, 235)


def cells(ch):
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("capture")
    parser.add_argument("out")
    parser.add_argument("--title", default="")
    args = parser.parse_args()

    with open(args.capture, encoding="utf-8") as f:
        lines = f.read().rstrip("\n").split("\n")
    columns = max(80, max(sum(cells(c) for c in line) for line in lines))
    font = ImageFont.truetype(FONT, FONT_SIZE, index=FONT_INDEX)
    width = columns * CELL_W + 2 * MARGIN
    height = BAR + len(lines) * CELL_H + 2 * MARGIN
    image = Image.new("RGB", (width, height), BACKGROUND)
    draw = ImageDraw.Draw(image)
    draw.rectangle([0, 0, width, BAR], fill=BAR_COLOUR)
    draw.text((MARGIN, 4), args.title, font=font, fill=BAR_TEXT)
    for row, line in enumerate(lines):
        column = 0
        for ch in line:
            x = MARGIN + column * CELL_W
            y = BAR + MARGIN + row * CELL_H
            draw.text((x, y), ch, font=font, fill=FOREGROUND)
            column += cells(ch)
    image.save(args.out)


if __name__ == "__main__":
    main()
