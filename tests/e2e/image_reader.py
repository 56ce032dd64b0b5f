#!/usr/bin/python3
"""Opens an image file with PIL, an image reader independent of the library, and writes what it read:
a line "WIDTH HEIGHT MODE" and then the pixels, RGB bytes for colour and grey images, 16-bit samples
most significant byte first for 16-bit grey images.

usage: image_reader.py IMAGE OUTPUT
"""
import struct
import sys

from PIL import Image


def main():
    image = Image.open(sys.argv[1])
    image.load()
    with open(sys.argv[2], "wb") as out:
        out.write(f"{image.width} {image.height} {image.mode}\n".encode())
        if image.mode.startswith("I"):
            samples = list(image.getdata())
            out.write(struct.pack(f">{len(samples)}H", *samples))
        else:
            out.write(image.convert("RGB").tobytes())


if __name__ == "__main__":
    main()
