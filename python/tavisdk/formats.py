"""Pixel formats and how each one's bytes lie in memory, as numpy sees them."""

import enum

import numpy as np


class PixelFormat(enum.IntEnum):
    """GenICam pixel-format values the library knows."""

    MONO8 = 0x01080001
    MONO8S = 0x01080002
    BAYER_GR8 = 0x01080008
    BAYER_RG8 = 0x01080009
    BAYER_GB8 = 0x0108000A
    BAYER_BG8 = 0x0108000B
    BAYER_GR10 = 0x0110000C
    BAYER_RG10 = 0x0110000D
    BAYER_GB10 = 0x0110000E
    BAYER_BG10 = 0x0110000F
    YUV422_8 = 0x02100032
    RGB565P = 0x02100035
    RGB8 = 0x02180014
    COORD3D_ABC16 = 0x023000B9
    COORD3D_ABC16_PLANAR = 0x023000BA


# One raw point of a Coord3D_ABC16 frame: signed X and Y, unsigned Z, little-endian.
RAW_POINT = np.dtype([("x", "<i2"), ("y", "<i2"), ("z", "<u2")])

_BYTE = np.dtype("u1")
_WORD = np.dtype("<u2")


def _plain(dtype):
    return lambda width, height: (dtype, (height, width))


def _channels(dtype, count):
    return lambda width, height: (dtype, (height, width, count))


def _planar(width, height):
    return _WORD, (3, height, width)


# Format: (bytes per pixel, the element type and shape of a width x height frame).
_LAYOUTS = {
    PixelFormat.MONO8: (1, _plain(_BYTE)),
    PixelFormat.MONO8S: (1, _plain(np.dtype("i1"))),
    PixelFormat.BAYER_GR8: (1, _plain(_BYTE)),
    PixelFormat.BAYER_RG8: (1, _plain(_BYTE)),
    PixelFormat.BAYER_GB8: (1, _plain(_BYTE)),
    PixelFormat.BAYER_BG8: (1, _plain(_BYTE)),
    PixelFormat.BAYER_GR10: (2, _plain(_WORD)),
    PixelFormat.BAYER_RG10: (2, _plain(_WORD)),
    PixelFormat.BAYER_GB10: (2, _plain(_WORD)),
    PixelFormat.BAYER_BG10: (2, _plain(_WORD)),
    # Y0 U Y1 V per pixel pair: per pixel its Y and, alternately, the pair's U or V.
    PixelFormat.YUV422_8: (2, _channels(_BYTE, 2)),
    # 16-bit little-endian: red in bits 11-15, green in 5-10, blue in 0-4.
    PixelFormat.RGB565P: (2, _plain(_WORD)),
    PixelFormat.RGB8: (3, _channels(_BYTE, 3)),
    PixelFormat.COORD3D_ABC16: (6, _plain(RAW_POINT)),
    PixelFormat.COORD3D_ABC16_PLANAR: (6, _planar),
}


def bytes_per_pixel(pixel_format):
    """Bytes per pixel of a format; 0 for one the library does not know."""
    layout = _LAYOUTS.get(pixel_format)
    return layout[0] if layout else 0


def format_name(pixel_format):
    try:
        return PixelFormat(pixel_format).name
    except ValueError:
        return "0x%08X" % pixel_format


def pixel_layout(pixel_format, width, height):
    """(dtype, shape, byte count) of a frame's pixels; ValueError for an unknown format."""
    layout = _LAYOUTS.get(pixel_format)
    if layout is None:
        raise ValueError("no pixel layout for format %s" % format_name(pixel_format))
    dtype, shape = layout[1](int(width), int(height))
    return dtype, shape, int(width) * int(height) * layout[0]
