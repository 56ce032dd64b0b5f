"""Frames over C-heap buffers, and numpy views of their bytes."""

import ctypes

import numpy as np

from . import _native
from .errors import InvalidArgument
from .formats import PixelFormat, format_name, pixel_layout


class HeapBlock:
    """A C-heap block owned by Python; freed when the last frame or array using it goes."""

    def __init__(self, size, zeroed=True):
        self.size = max(int(size), 1)
        self.address = _native.heap_allocate(self.size, zeroed)

    def adopt(self, address, size):
        """The library freed this block and handed over `address` in its place."""
        self.address = address
        self.size = int(size)

    def __del__(self):
        if getattr(self, "address", None):
            _native.heap_free(self.address)
            self.address = None


class _BlockBytes:
    """The first `length` bytes of a block, as numpy takes them; keeps the block alive."""

    def __init__(self, block, length):
        self.block = block
        self.__array_interface__ = {
            "version": 3,
            "shape": (int(length),),
            "typestr": "|u1",
            "data": (block.address, False),
        }


def block_bytes(block, length):
    """A writable uint8 array over the first `length` bytes of a block (no copy)."""
    if length > block.size:
        raise ValueError("%d bytes asked of a block of %d" % (length, block.size))
    if length == 0:
        return np.zeros(0, dtype=np.uint8)
    return np.asarray(_BlockBytes(block, length))


class Frame:
    """One frame: the library's record, the C-heap block its `data` points at, and the camera it
    came from (the processing calls need it). `pixels` and `raw` are views of the block."""

    def __init__(self, info, block, camera=None):
        self.info = info
        self.block = block
        self.camera = camera
        self.info.data = block.address

    @classmethod
    def allocate(cls, capacity, camera=None, zeroed=True):
        """An empty frame over a block of `capacity` bytes, zeroed unless a capture fills it."""
        return cls(_native.PhotoInfo(), HeapBlock(capacity, zeroed), camera)

    @classmethod
    def from_bytes(cls, data, pixel_format, width, height, cloud_unit=1, camera=None, capacity=0):
        """A frame holding a copy of `data` (bytes or an array), e.g. one loaded from disk."""
        if isinstance(data, (bytes, bytearray, memoryview)):
            payload = np.frombuffer(data, np.uint8)
        else:
            payload = np.ascontiguousarray(data).view(np.uint8).reshape(-1)
        frame = cls.allocate(max(payload.size, capacity), camera)
        block_bytes(frame.block, payload.size)[:] = payload
        frame.info.pixel_format = int(pixel_format)
        frame.info.width = frame.info.size_x = int(width)
        frame.info.height = frame.info.size_y = int(height)
        frame.info.cloud_unit = int(cloud_unit)
        frame.info.payload_size = payload.size
        return frame

    def copy(self, capacity=0):
        """A frame of its own with the same record and payload, in a block of at least
        `capacity` bytes (a YUYV frame needs width x height x 3 to be converted in place)."""
        frame = Frame.allocate(max(self.payload_size, capacity), self.camera)
        ctypes.memmove(ctypes.byref(frame.info), ctypes.byref(self.info), ctypes.sizeof(self.info))
        frame.info.data = frame.block.address
        ctypes.memmove(frame.block.address, self.block.address, self.payload_size)
        return frame

    # The record's fields.
    width = property(lambda self: self.info.width)
    height = property(lambda self: self.info.height)
    payload_size = property(lambda self: min(self.info.payload_size, self.block.size))
    cloud_unit = property(lambda self: self.info.cloud_unit)
    block_id = property(lambda self: self.info.block_id)
    channel = property(lambda self: self.info.channel_index)
    offset_x = property(lambda self: self.info.offset_x)
    offset_y = property(lambda self: self.info.offset_y)

    @property
    def pixel_format(self):
        try:
            return PixelFormat(self.info.pixel_format)
        except ValueError:
            return self.info.pixel_format

    @property
    def timestamp(self):
        """The camera's 64-bit time stamp of the frame."""
        return self.info.timestamp_high << 32 | self.info.timestamp_low

    @property
    def complete(self):
        """False when the stream gave up on some of the frame's packets."""
        return self.info.reserved == 0

    @property
    def shape(self):
        return pixel_layout(self.info.pixel_format, self.width, self.height)[1]

    @property
    def raw(self):
        """The payload as a flat uint8 array (a view)."""
        return block_bytes(self.block, self.payload_size)

    @property
    def pixels(self):
        """The pixels as an array of the format's shape, a view of the frame's block: (height,
        width) for grey, Bayer and RGB565 frames, (height, width, 3) for RGB8, (height, width, 2)
        for YUYV, (height, width) of RAW_POINT records for Coord3D_ABC16."""
        dtype, shape, size = pixel_layout(self.info.pixel_format, self.width, self.height)
        if size > self.payload_size:
            raise InvalidArgument(
                "Frame.pixels",
                "%s %dx%d needs %d bytes, the frame holds %d"
                % (format_name(self.info.pixel_format), self.width, self.height, size,
                   self.payload_size),
            )
        return block_bytes(self.block, size).view(dtype).reshape(shape)

    def require_format(self, function, *formats):
        """Raises INVALID_ARGUMENT unless the frame has one of `formats` and its whole payload."""
        if formats and self.info.pixel_format not in formats:
            raise InvalidArgument(
                function,
                "frame is %s, not %s"
                % (format_name(self.info.pixel_format), " or ".join(f.name for f in formats)),
            )
        self.pixels  # checks that the payload covers width x height pixels

    def pointer(self):
        return ctypes.byref(self.info)

    def _camera(self):
        if self.camera is None:
            raise ValueError("the frame belongs to no camera; pass camera= when creating it")
        return self.camera

    # Processing and export through the camera the frame came from.
    def points(self):
        return self._camera().points(self)

    def plane(self, axis):
        return self._camera().plane(self, axis)

    def to_rgb(self):
        return self._camera().to_rgb(self)

    def save_pcd(self, path):
        self._camera().save_pcd(self, path)

    def save_ply(self, path):
        self._camera().save_ply(self, path)

    def save_txt(self, path):
        self._camera().save_txt(self, path)

    def save_bmp(self, path):
        self._camera().save_bmp(self, path)

    def save_png(self, path):
        self._camera().save_png(self, path)

    def __repr__(self):
        return "<Frame %s %dx%d block %d channel %d%s>" % (
            format_name(self.info.pixel_format), self.width, self.height, self.block_id,
            self.channel, "" if self.complete else " incomplete")
