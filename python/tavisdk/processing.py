"""Processing and files: the camera operations on frames (decoding, planes, filters, colour
conversion, fusion, ROI mapping, morphology, and the point-cloud and image files)."""

import ctypes
import dataclasses
import os

import numpy as np

from . import _native
from .errors import InvalidArgument, Result, TaviError, check
from .formats import PixelFormat
from .frame import Frame


@dataclasses.dataclass(frozen=True)
class Roi:
    """A rectangle in pixels: columns offset_x .. offset_x + width - 1, lines likewise."""

    width: int
    height: int
    offset_x: int
    offset_y: int


def _array_argument(array, dtype, shape, function, what):
    """An array the library writes or reads in place: exactly this element type and shape,
    contiguous and writable, so that the library's idea of its size is the array's."""
    if not isinstance(array, np.ndarray):
        raise InvalidArgument(function, "%s must be a numpy array" % what)
    if array.dtype != np.dtype(dtype) or array.shape != tuple(shape):
        raise InvalidArgument(
            function,
            "%s must be %s of shape %s, not %s of shape %s"
            % (what, np.dtype(dtype), tuple(shape), array.dtype, array.shape),
        )
    if not array.flags.c_contiguous or not array.flags.writeable:
        raise InvalidArgument(function, "%s must be C-contiguous and writable" % what)
    return array


def _pointer(array, c_type):
    return array.ctypes.data_as(ctypes.POINTER(c_type))


def _path(path):
    return os.fsencode(os.fspath(path))


_CLOUD = (PixelFormat.COORD3D_ABC16,)
_FUSION_COLOURS = (PixelFormat.RGB8, PixelFormat.YUV422_8, PixelFormat.RGB565P, PixelFormat.MONO8)
_CONVERTIBLE = (PixelFormat.BAYER_RG8, PixelFormat.YUV422_8)
_PLANES = {"x": "GetCloudPlaneX", "y": "GetCloudPlaneY", "z": "GetCloudPlaneZ"}
_CLOUD_FILES = {"pcd": "SavePointCloudToPcd", "ply": "SavePointCloudToPly",
                "txt": "SavePointCloudToTxt"}


def _adopt_replaced_block(frame):
    """After a call that may have replaced the frame's buffer (the Bayer conversion frees the old
    one and allocates a new one), the frame's block takes over the new buffer."""
    if frame.info.data != frame.block.address:
        frame.block.adopt(frame.info.data, frame.info.payload_size)


class FrameOperations:
    """The operations of a camera on frames; they need the camera's row in the library's table
    (fusion and ROI mapping also its calibration), not a connection."""

    # Processing.
    def points(self, frame):
        """The decoded points of a Coord3D_ABC16 frame: (height, width, 3) float32 X, Y, Z; a
        point whose Z is 0 has no measurement."""
        frame.require_format("Convert3DPointFromCharToFloat", *_CLOUD)
        count = frame.width * frame.height
        # The library clears two bytes of output per byte of payload before decoding.
        output = np.zeros(max(count * 3, (2 * frame.payload_size + 3) // 4), np.float32)
        self._library.Convert3DPointFromCharToFloat(self._index(), frame.pointer(),
                                                    _pointer(output, ctypes.c_float))
        return output[:count * 3].reshape(frame.height, frame.width, 3)

    def plane(self, frame, axis):
        """One coordinate of every point of a cloud frame as raw 16-bit steps, (height, width);
        the values are big-endian in memory, as a 16-bit PNG holds them."""
        function = _PLANES.get(str(axis).lower())
        if function is None:
            raise InvalidArgument("plane", "axis must be 'x', 'y' or 'z'")
        frame.require_format(function, *_CLOUD)
        plane = np.zeros((frame.height, frame.width), ">i2")
        check(getattr(self._library, function)(self._index(), frame.pointer(),
                                               _pointer(plane, ctypes.c_short)), function)
        return plane

    def filter_cloud(self, frame, factor=1.0):
        """Removes stray points of a cloud frame in place (window filter)."""
        frame.require_format("FilterPointCloud", *_CLOUD)
        self._library.FilterPointCloud(self._index(), frame.pointer(), float(factor))

    def spatial_filter(self, frame, minimum_population):
        """Removes points of sparsely populated grid cells of a cloud frame in place."""
        frame.require_format("SpatialFilterPointcloud", *_CLOUD)
        check(self._library.SpatialFilterPointcloud(self._index(), frame.pointer(),
                                                    int(minimum_population)),
              "SpatialFilterPointcloud")

    def _converted(self, frame, function):
        """A private RGB8 copy of a BayerRG8 or YUYV frame, leaving `frame` and its views as
        they are: the conversion writes in place and the Bayer one replaces the buffer."""
        frame.require_format(function, *_CONVERTIBLE)
        copy = frame.copy(capacity=frame.width * frame.height * 3)
        self._library.RawdataToRgb888(self._index(), copy.pointer())
        _adopt_replaced_block(copy)
        if copy.info.pixel_format != PixelFormat.RGB8:
            raise TaviError(Result.INVALID_ARGUMENT, function, "the frame was not converted")
        return copy

    def to_rgb(self, frame):
        """A new RGB8 frame from a BayerRG8 or YUYV one; an RGB8 frame is copied."""
        if frame.info.pixel_format == PixelFormat.RGB8:
            return frame.copy()
        return self._converted(frame, "RawdataToRgb888")

    def colour_cloud(self, colour, cloud):
        """The cloud's points coloured from a colour frame: (height, width, 6) float32 records
        X, Y, Z and the pixel's third, second and first byte (B, G, R for RGB8 and YUYV colour
        frames; R, G, B for RGB565); an unmatched point's record is all zero."""
        cloud.require_format("FusionImageTo3D", *_CLOUD)
        colour.require_format("FusionImageTo3D", *_FUSION_COLOURS)
        if colour.info.pixel_format == PixelFormat.YUV422_8:
            colour = self._converted(colour, "FusionImageTo3D")
        fused = np.zeros((cloud.height, cloud.width, 6), np.float32)
        check(self._library.FusionImageTo3D(self._index(), colour.pointer(), cloud.pointer(),
                                            _pointer(fused, ctypes.c_float)), "FusionImageTo3D")
        return fused

    def cloud_on_image(self, colour, cloud):
        """The cloud resampled onto the colour frame's pixel grid: a new Coord3D_ABC16 frame of
        the colour frame's size."""
        cloud.require_format("Fusion3DToRGB", *_CLOUD)
        colour.require_format("Fusion3DToRGB", *_FUSION_COLOURS[:3])
        result = Frame.allocate(colour.width * colour.height * 6, self)
        check(self._library.Fusion3DToRGB(self._index(), colour.pointer(), cloud.pointer(),
                                          result.pointer()), "Fusion3DToRGB")
        result.info.channel_index = cloud.info.channel_index
        return result

    def map_roi(self, cloud, source, target, roi, mask=None):
        """Marks (255) in `mask`, an int32 (height, width) array of the target frame, the pixels
        that match the pixels of `roi` in the source frame, through the cloud's points."""
        if mask is None:
            mask = np.zeros((target.height, target.width), np.int32)
        _array_argument(mask, np.int32, (target.height, target.width), "ROIPixelMapping", "mask")
        cloud.require_format("ROIPixelMapping", *_CLOUD)
        # The library clips the rectangle to the source frame.
        rectangle = _native.RoiPoint(roi.width, roi.height, roi.offset_x, roi.offset_y)
        self._library.ROIPixelMapping(self._index(), cloud.pointer(), source.pointer(),
                                      target.pointer(), ctypes.byref(rectangle),
                                      _pointer(mask, ctypes.c_int))
        return mask

    def swell(self, mask, frame):
        """Dilates an int32 (height, width) mask of the frame in place."""
        _array_argument(mask, np.int32, (frame.height, frame.width), "PixelSwell", "mask")
        self._library.PixelSwell(self._index(), _pointer(mask, ctypes.c_int), frame.pointer())

    def corrode(self, mask, frame):
        """Erodes an int32 (height, width) mask of the frame in place."""
        _array_argument(mask, np.int32, (frame.height, frame.width), "PixelCorrosion", "mask")
        self._library.PixelCorrosion(self._index(), _pointer(mask, ctypes.c_int),
                                     frame.pointer())

    def mask_bounds(self, mask, frame):
        """The rectangle around the marked pixels of a mask of the frame."""
        _array_argument(mask, np.int32, (frame.height, frame.width), "ROIMappingCoordinate",
                        "mask")
        rectangle = _native.RoiPoint()
        self._library.ROIMappingCoordinate(self._index(), _pointer(mask, ctypes.c_int),
                                           frame.pointer(), ctypes.byref(rectangle))
        return Roi(rectangle.width, rectangle.height, rectangle.offset_x, rectangle.offset_y)

    # Files.
    def _save_cloud(self, frame, path, kind):
        function = _CLOUD_FILES[kind]
        frame.require_format(function, *_CLOUD)
        check(getattr(self._library, function)(self._index(), frame.pointer(), _path(path)),
              function)

    def save_pcd(self, frame, path):
        self._save_cloud(frame, path, "pcd")

    def save_ply(self, frame, path):
        self._save_cloud(frame, path, "ply")

    def save_txt(self, frame, path):
        self._save_cloud(frame, path, "txt")

    def save_coloured_txt(self, frame, fused, path):
        """A text file of the points of colour_cloud()'s result for the cloud frame."""
        frame.require_format("SavePointCloudWithImageToTxt", *_CLOUD)
        _array_argument(fused, np.float32, (frame.height, frame.width, 6),
                        "SavePointCloudWithImageToTxt", "fused points")
        check(self._library.SavePointCloudWithImageToTxt(
            self._index(), frame.pointer(), _pointer(fused, ctypes.c_float), _path(path)),
            "SavePointCloudWithImageToTxt")

    def save_bmp(self, frame, path):
        """A BMP file of a grey or colour frame; Bayer and YUYV frames are saved through a
        converted copy, so the frame itself stays as it is."""
        frame.require_format("SaveToBMP")
        if frame.info.pixel_format in _CONVERTIBLE:
            frame = self._converted(frame, "SaveToBMP")
        check(self._library.SaveToBMP(self._index(), frame.pointer(), _path(path)), "SaveToBMP")

    def save_png(self, frame, path):
        """A 16-bit grey PNG file of a cloud frame's Z plane."""
        frame.require_format("SaveDepthToPng", *_CLOUD)
        check(self._library.SaveDepthToPng(self._index(), frame.pointer(), _path(path)),
              "SaveDepthToPng")

    def save_plane(self, frame, plane, path):
        """A 16-bit grey PNG file of a plane() of the frame."""
        _array_argument(plane, ">i2", (frame.height, frame.width), "SaveCloudPlane", "plane")
        check(self._library.SaveCloudPlane(self._index(), frame.pointer(),
                                           _pointer(plane, ctypes.c_short), _path(path)),
              "SaveCloudPlane")
