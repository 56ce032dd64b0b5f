"""Discovery, cameras and streams over the library's process-wide camera table."""

import atexit
import ctypes
import dataclasses
import inspect
import os
import threading
import weakref

import numpy as np

from . import _native
from .errors import (
    InvalidArgument,
    Result,
    TaviError,
    check,
    check_value,
    check_wide_value,
)
from .formats import PixelFormat
from .frame import Frame, HeapBlock

# Per-sensor registers repeat every 0x100 bytes, per-channel registers every 0x40 bytes.
SENSOR_REGISTER_STRIDE = 0x100
CHANNEL_REGISTER_STRIDE = 0x40
CHANNEL_COUNT = 3

# The flat interface writes feature names into 255-byte slots without knowing how many slots the
# caller has. A name needs an element of its own in the description, whose elements the library
# bounds at 2**20, so that many slots are given: 255 MB of address space from the C heap's calloc,
# which maps such a block afresh, so that only the pages the names fill are ever backed by memory.
NAME_SLOT_BYTES = 255
NAME_SLOTS = 1 << 20
# The library copies a string register's whole length, which it bounds at 4096 bytes, without a
# terminating zero: one byte more keeps the text terminated.
STRING_REGISTER_BYTES = 4096 + 1

DEFAULT_CAPTURE_TIMEOUT = 5.0  # seconds


class _TableState:
    """The flat interface keeps one discovery list and one camera table per process. Rediscovery
    rebuilds both, so it waits until the cameras of the last one are closed; each discovery has a
    generation number that tells a Camera whether its row still belongs to it."""

    def __init__(self):
        self.lock = threading.RLock()
        self.generation = 0
        self.connected = weakref.WeakSet()


_table = _TableState()


@dataclasses.dataclass(frozen=True)
class CameraInfo:
    """One camera found by discover(): its place in the list and what the library tells of it
    before connection."""

    index: int
    ip: str
    device_version: str
    same_segment: bool
    generation: int = dataclasses.field(default=0, repr=False)


@dataclasses.dataclass(frozen=True)
class Roi:
    """A rectangle in pixels: columns offset_x .. offset_x + width - 1, lines likewise."""

    width: int
    height: int
    offset_x: int
    offset_y: int


@dataclasses.dataclass(frozen=True)
class BlockStatistics:
    complete: int
    incomplete: int
    timed_out: int
    not_stored: int
    flushed: int
    id_jumps: int
    error_packet: int
    truncated_packets: int


@dataclasses.dataclass(frozen=True)
class PacketStatistics:
    received: int
    missing: int
    format_errors: int
    unused: int
    requested: int
    resent: int
    duplicates: int


@dataclasses.dataclass(frozen=True)
class ReceiveTimeStatistics:
    """Histogram of block receive times in microseconds; `buckets` holds bucket_count counters."""

    range_start: int
    bucket_width: int
    bucket_count: int
    max_time: int
    min_time: int
    sample_count: int
    above_count: int
    below_count: int
    buckets: np.ndarray


def _text(raw):
    return raw.decode("latin-1") if raw else ""


def set_log_level(error=False, debug=False, warning=False, info=False):
    """Turns the library's log files on or off, level by level, for every camera at once."""
    _native.library().SetLogLevel(int(error), int(debug), int(warning), int(info))


def discover(sort_mode=None):
    """Finds the cameras on every local adapter and returns a CameraInfo per camera. Cameras of
    an earlier discovery must be closed first: the list and the camera table are rebuilt."""
    library = _native.library()
    with _table.lock:
        if len(_table.connected):
            raise RuntimeError("close the connected cameras before discovering again")
        library.DestroyCamera()
        count = library.DiscoverCamera()
        if count < 0:
            raise TaviError(count, "DiscoverCamera")
        if sort_mode is not None and count > 0:
            check(library.CameraSort(int(sort_mode)), "CameraSort")
        library.CreateCamera()
        _table.generation += 1
        return [
            CameraInfo(
                index=index,
                ip=_text(library.CameraIP(index)),
                device_version=_text(library.CameraVerions(index)),
                same_segment=bool(library.WhetherIsSameSegment(index)),
                generation=_table.generation,
            )
            for index in range(count)
        ]


def force_ip(info, ip, mask, gateway):
    """Gives a discovered camera a new IPv4 configuration (discover again afterwards)."""
    _check_generation(info)
    library = _native.library()
    arguments = [text.encode("ascii") for text in (ip, mask, gateway)]
    check(library.ForceIP(info.index, *arguments), "ForceIP")


def _check_generation(info):
    if info.generation != _table.generation:
        raise RuntimeError("camera %d belongs to an earlier discovery" % info.index)


def _flat_method(name, function, parameters, checker, doc):
    """A Camera method that passes its arguments, after the camera's index, to one flat function
    and hands its result to `checker`. `parameters` are names, "name=default" for defaults."""
    signature = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    for parameter in parameters:
        parameter_name, _, default = parameter.partition("=")
        signature.append(
            inspect.Parameter(
                parameter_name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=int(default) if default else inspect.Parameter.empty,
            )
        )
    signature = inspect.Signature(signature)

    def method(self, *arguments, **keywords):
        bound = signature.bind(self, *arguments, **keywords)
        bound.apply_defaults()
        values = [int(value) for value in list(bound.arguments.values())[1:]]
        return checker(getattr(self._library, function)(self._index(), *values), function)

    method.__name__ = name
    method.__qualname__ = "Camera." + name
    method.__doc__ = "%s (%s)." % (doc, function)
    method.__signature__ = signature
    return method


def _no_result(code, function):
    check(code, function)


# Feature getters: method, flat function, parameters, what the value is. A negative result is
# the failure code.
_GETTERS = [
    ("auto_exposure", "GetAutoExposure", ("sensor",), "Auto-exposure of a sensor: 0 off, 1 on"),
    ("exposure_gain_level", "GetCamExposureGainLevel", ("sensor",), "Exposure level of a sensor"),
    ("exposure_time", "GetExposureTime", ("sensor",), "Exposure time of a sensor"),
    ("gain", "GetGain", ("kind", "rgb=0"), "Gain: kind 1 analog, 2 digital; rgb=1 colour sensor"),
    ("heartbeat_timeout", "GetHeartBeatTimeout", (), "Heartbeat time-out in milliseconds"),
    ("laser_brightness", "GetLaserbrightness", (), "Laser brightness in percent"),
    ("multiple_exposure", "GetMutipleExposure", (), "Number of exposures per frame"),
    ("strobe_brightness", "GetStrobeLEDbrightress", (), "Strobe LED brightness in percent"),
    ("strobe_switch", "GetStrobeLEDswitch", (), "Strobe LED: 0 off, 1 on"),
    ("timestamp_enabled", "GetTimestamp", (), "IEEE 1588 time stamps: 0 off, 1 on"),
    ("timestamp_status", "GetTimestampStatus", (), "IEEE 1588 state of the camera"),
]

# Feature setters and commands: method, flat function, parameters, what it does. Any result but
# 0 is the failure code.
_SETTERS = [
    ("start_acquisition", "AcquisitionStart", (), "Starts every stream channel"),
    ("stop_acquisition", "AcquisitionStop", (), "Stops every stream channel"),
    ("set_auto_exposure", "SetAutoExposure", ("mode", "sensor"), "Auto-exposure on (1) or off"),
    ("set_exposure_gain_level", "SetCamExposureGainLevel", ("sensor", "level"),
     "Exposure level (1 or more) of a sensor"),
    ("set_exposure_time", "SetExposureTime", ("value", "sensor"), "Exposure time of a sensor"),
    ("set_gain", "SetGain", ("kind", "value", "rgb=0"),
     "Gain: kind 1 analog, 2 digital; rgb=1 colour sensor"),
    ("set_heartbeat_timeout", "SetHeartBeatTimeout", ("milliseconds",), "Heartbeat time-out"),
    ("set_laser_brightness", "SetLaserbrightness", ("percent",), "Laser brightness, 1 to 100"),
    ("set_multiple_exposure", "SetMutipleExposure", ("count",), "Exposures per frame"),
    ("set_rgb_trigger_mode", "SetRGBTriggerMode", ("mode",), "Colour sensor triggered (1)"),
    ("trigger_rgb", "SetRGBTriggerCount", ("count=1",), "Triggers the colour sensor"),
    ("set_strobe_brightness", "SetStrobeLEDbrightress", ("percent",), "Strobe LED, 1 to 100"),
    ("set_strobe_switch", "SetStrobeLEDswitch", ("on",), "Strobe LED on (1) or off"),
    ("set_timestamp_enabled", "SetTimestamp", ("on",), "IEEE 1588 time stamps on (1) or off"),
    ("latch_timestamp", "SetTimestampControlLatch", (), "Latches the camera clock"),
    ("trigger", "SetTriggerCount", ("count=1",), "Triggers the depth and grey sensors"),
    ("set_trigger_mode", "SetTriggerMode", ("mode",), "Triggered (1) or free-running (0)"),
    ("set_trigger_source", "SetTriggerSource", ("source",), "Software (0) or line (1) trigger"),
    ("set_roi", "SetRoi", ("channel", "width", "height", "offset_x", "offset_y"),
     "Region of interest of the sensor behind a channel"),
]


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


class Camera:
    """A discovered camera. `with Camera(info) as camera:` connects it and, on leaving, closes
    its streams and disconnects it."""

    def __init__(self, info):
        _check_generation(info)
        self.info = info
        self._library = _native.library()
        self._streams = {}
        self.connected = False

    def _index(self):
        _check_generation(self.info)
        return self.info.index

    # Connection.
    def connect(self):
        """Connects the camera (a connected camera stays as it is)."""
        if self.connected:
            return self
        with _table.lock:
            check(self._library.CameraConnect(self._index()), "CameraConnect")
            self.connected = True
            _table.connected.add(self)
        return self

    def close(self):
        """Closes the camera's streams and disconnects it; does nothing when not connected."""
        for stream in list(self._streams.values()):
            stream.close()
        if self.connected:
            self.connected = False
            _table.connected.discard(self)
            check(self._library.CameraDisconnect(self._index()), "CameraDisconnect")

    disconnect = close

    def __enter__(self):
        return self.connect()

    def __exit__(self, *exception):
        self.close()

    def ccp_status(self):
        """The control-channel privilege register of the camera, as read by the library."""
        status = ctypes.c_int(-60)
        check(self._library.GetCameraCCPStatus(self._index(), ctypes.byref(status)),
              "GetCameraCCPStatus")
        return status.value

    def sdk_version(self):
        return _text(self._library.SDKVersion(self._index()))

    def firmware_upgrade(self, path):
        check(self._library.FirmwareUpgrade(self._index(), _path(path)), "FirmwareUpgrade")

    # Features by name.
    def register_address(self, name):
        """The register address of a feature. Addresses above 2**31 come back negative from the
        library; codes are small, so only results from -65536 to -1 count as failures."""
        address = self._library.GetRegisterAddr(self._index(), name.encode("ascii"))
        if -0x10000 <= address < 0:
            raise TaviError(address, "GetRegisterAddr", name)
        return address & 0xFFFFFFFF

    def _feature_address(self, name, sensor, channel):
        if sensor is not None and channel is not None:
            raise InvalidArgument("feature", "a feature is per sensor or per channel, not both")
        address = self.register_address(name)
        if sensor is not None:
            address += int(sensor) * SENSOR_REGISTER_STRIDE
        if channel is not None:
            address += int(channel) * CHANNEL_REGISTER_STRIDE
        return address

    def feature(self, name, sensor=None, channel=None):
        """The value of an integer feature; `sensor` or `channel` for per-sensor or per-channel
        features (e.g. feature("Width", sensor=1), feature("PayloadSize", channel=0))."""
        return self.read_register(self._feature_address(name, sensor, channel))

    def set_feature(self, name, value, sensor=None, channel=None):
        self.write_register(self._feature_address(name, sensor, channel), value)

    def feature_limits(self, name):
        """(minimum, maximum, increment) of a feature from the device description."""
        encoded = name.encode("ascii")
        return tuple(
            check_value(getattr(self._library, function)(self._index(), encoded), function)
            for function in ("GetNodeMinValue", "GetNodeMaxValue", "GetNodeIncValue")
        )

    def read_register(self, address):
        value = ctypes.c_int(-1)
        check(self._library.ReadRegister(self._index(), _register_address(address),
                                         ctypes.byref(value)), "ReadRegister")
        return value.value & 0xFFFFFFFF

    def write_register(self, address, value):
        check(self._library.WriteRegister(self._index(), _register_address(address),
                                          _register_value(value)), "WriteRegister")

    def read_string(self, name):
        """A string feature (e.g. "DeviceSerialNumber"); empty when the camera refuses."""
        buffer = ctypes.create_string_buffer(STRING_REGISTER_BYTES)
        self._library.ReadStringRegister(self._index(), name.encode("ascii"), buffer)
        return _text(buffer.value)

    def feature_names(self):
        """The names of the camera's features, from its device description."""
        count = ctypes.c_int(0)
        slots = HeapBlock(NAME_SLOT_BYTES * NAME_SLOTS)
        self._library.GetCameraXMLNodeNames(self._index(),
                                            ctypes.cast(slots.address, ctypes.c_char_p),
                                            ctypes.byref(count))
        if count.value < 0:
            raise TaviError(Result.FLAT_NO_CAMERA, "GetCameraXMLNodeNames")
        return [_text(ctypes.string_at(slots.address + slot * NAME_SLOT_BYTES,
                                       NAME_SLOT_BYTES).split(b"\0", 1)[0])
                for slot in range(min(count.value, NAME_SLOTS))]

    def save_description(self, directory):
        check(self._library.SaveXmlToLocal(self._index(), _path(directory)), "SaveXmlToLocal")

    # Calibration and clock.
    def intrinsics(self, sensor):
        """(distortion k1 k2 p1 p2 k3, 3 x 3 camera matrix) of a sensor."""
        distortion = np.zeros(5, np.float32)
        matrix = np.zeros((3, 3), np.float32)
        check(self._library.GetCamInternelParameter(self._index(), int(sensor),
                                                    _pointer(distortion, ctypes.c_float),
                                                    _pointer(matrix, ctypes.c_float)),
              "GetCamInternelParameter")
        return distortion, matrix

    def extrinsics(self, sensor):
        """(3 x 3 rotation, translation) from the depth sensor's coordinates to a sensor's."""
        rotation = np.zeros((3, 3), np.float32)
        translation = np.zeros(3, np.float32)
        check(self._library.GetCamExternelParameter(self._index(), int(sensor),
                                                    _pointer(rotation, ctypes.c_float),
                                                    _pointer(translation, ctypes.c_float)),
              "GetCamExternelParameter")
        return rotation, translation

    def timestamp_tick_frequency(self):
        return check_wide_value(self._library.GetTimestampTickFrequency(self._index()),
                                "GetTimestampTickFrequency")

    def timestamp_value(self):
        """The camera clock as latched by latch_timestamp()."""
        return check_wide_value(self._library.GetTimestampValue(self._index()),
                                "GetTimestampValue")

    # Streams.
    def stream(self, channel, timeout=DEFAULT_CAPTURE_TIMEOUT):
        """Opens a stream channel; iterate it for frames, close it (or leave its `with`) to end.
        `timeout` (seconds, None for none) bounds the wait for each frame of the iteration."""
        channel = int(channel)
        if not 0 <= channel < CHANNEL_COUNT:
            raise InvalidArgument("StreamOn", "channel %d is not 0, 1 or 2" % channel)
        if channel in self._streams:
            raise InvalidArgument("StreamOn", "channel %d is open already" % channel)
        stream = Stream(self, channel, timeout)
        self._streams[channel] = stream
        return stream

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

    def __repr__(self):
        return "<Camera %d %s%s>" % (self.info.index, self.info.ip,
                                     " connected" if self.connected else "")


for _name, _function, _parameters, _doc in _GETTERS:
    setattr(Camera, _name, _flat_method(_name, _function, _parameters, check_value, _doc))
for _name, _function, _parameters, _doc in _SETTERS:
    setattr(Camera, _name, _flat_method(_name, _function, _parameters, _no_result, _doc))


def _register_address(address):
    address = int(address)
    if not 0 <= address <= 0xFFFFFFFF:
        raise InvalidArgument("register", "address %d does not fit 32 bits" % address)
    return address


def _register_value(value):
    """A register value as the library's signed int: 0 .. 2**32 - 1 or -2**31 .. -1."""
    value = int(value)
    if not -0x80000000 <= value <= 0xFFFFFFFF:
        raise InvalidArgument("WriteRegister", "value %d does not fit 32 bits" % value)
    return value - 0x100000000 if value > 0x7FFFFFFF else value


def _adopt_replaced_block(frame):
    """After a call that may have replaced the frame's buffer (the Bayer conversion frees the old
    one and allocates a new one), the frame's block takes over the new buffer."""
    if frame.info.data != frame.block.address:
        frame.block.adopt(frame.info.data, frame.info.payload_size)


# Stream settings: property, getter, setter (None: read only).
_STREAM_SETTINGS = [
    ("max_buffer_length", "GetMaxBufferLength", "SetMaxBufferLength"),
    ("packet_timeout", "GetPacketTimeout", "SetPacketTimeout"),
    ("socket_select_timeout", "GetSocketSelectTimeout", "SetSocketSelectTimeout"),
    ("block_timeout", "GetBlockTimeout", "SetBlockTimeout"),
    ("net_speed", "GetNetSpeed", None),
]


class Stream:
    """An open stream channel of a connected camera. Iterating it captures frames; each frame has
    its own buffer, filled by the library's one copy of the payload."""

    def __init__(self, camera, channel, timeout):
        self.camera = camera
        self.channel = channel
        self.timeout = timeout
        self._library = camera._library
        self._open = False
        # The library's stream must not be closed while another thread is inside one of its
        # calls: close() waits until the calls in progress have returned.
        self._calls = threading.Condition()
        self._active = 0
        check(self._library.StreamOn(camera._index(), channel), "StreamOn")
        self._open = True
        try:
            # The library copies the channel's payload size as it was when the stream opened.
            self.payload_size = camera.feature("PayloadSize", channel=channel)
        except TaviError:
            self.close()
            raise

    def _call(self, function, *arguments):
        with self._calls:
            if not self._open:
                raise TaviError(Result.FLAT_NO_STREAM, function, "the stream is closed")
            self._active += 1
        try:
            return getattr(self._library, function)(self.camera._index(), self.channel,
                                                    *arguments)
        finally:
            with self._calls:
                self._active -= 1
                self._calls.notify_all()

    def close(self):
        """Closes the channel once the calls of other threads have returned; a capture that
        waits without limit holds it until a frame comes."""
        with self._calls:
            if not self._open:
                return
            self._open = False
            self._calls.wait_for(lambda: self._active == 0)
        self.camera._streams.pop(self.channel, None)
        check(self._library.StreamOff(self.camera._index(), self.channel), "StreamOff")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __iter__(self):
        return self.frames()

    def frames(self, count=None, timeout=None):
        """Yields `count` frames (None: until the caller stops), each waited for up to `timeout`
        seconds (default: the stream's); a wait that ends without a frame raises NO_FRAME."""
        timeout = self.timeout if timeout is None else timeout
        taken = 0
        while count is None or taken < count:
            yield self.capture(timeout)
            taken += 1

    def _frame(self):
        return Frame.allocate(self.payload_size, self.camera)

    def capture(self, timeout=...):
        """The oldest frame, waiting up to `timeout` seconds for one (default: the stream's
        time-out; None: without limit, and then the wait cannot be interrupted)."""
        if timeout is ...:
            timeout = self.timeout
        frame = self._frame()
        if timeout is None:
            check(self._call("Capture", frame.pointer()), "Capture")
        else:
            microseconds = max(int(timeout * 1e6), 0)
            check(self._call("TimeoutCapture", frame.pointer(), microseconds), "TimeoutCapture")
        return frame

    def try_capture(self):
        """The oldest frame if one is ready, else None."""
        frame = self._frame()
        result = self._call("TryCapture", frame.pointer())
        if result == Result.NO_FRAME:
            return None
        check(result, "TryCapture")
        return frame

    def flush(self):
        """Discards the frames that wait to be captured."""
        self._call("FlushBuffer")

    @property
    def resend(self):
        """Whether missing packets are asked for again."""
        return bool(check_value(self._call("GetResendRequest"), "GetResendRequest"))

    @resend.setter
    def resend(self, on):
        self._call("SetResendRequest", 1 if on else 0)

    @property
    def resend_ratio(self):
        ratio = self._call("GetPacketResendRatio")
        if ratio < 0:
            raise TaviError(int(ratio), "GetPacketResendRatio")
        return ratio

    @resend_ratio.setter
    def resend_ratio(self, ratio):
        check(self._call("SetPacketResendRatio", float(ratio)), "SetPacketResendRatio")

    @property
    def block_rate(self):
        rate = self._call("GetBlockRate")
        if rate < 0:
            raise TaviError(int(rate), "GetBlockRate")
        return rate

    def block_statistics(self):
        return BlockStatistics(*self._counters("GetBlockStatistics", 8))

    def packet_statistics(self):
        return PacketStatistics(*self._counters("GetPacketStatistics", 7))

    def _counters(self, function, count):
        values = [ctypes.c_uint(0) for _ in range(count)]
        self._call(function, *[ctypes.byref(value) for value in values])
        return [value.value for value in values]

    def receive_time_statistics(self):
        data = _native.StatisticsData()
        self._call("GetRecieveTimeStatistics", ctypes.byref(data))
        used = min(max(data.bucket_count, 0), _native.STATISTICS_BUCKET_SLOTS)
        return ReceiveTimeStatistics(
            data.range_start, data.bucket_width, data.bucket_count, data.max_time, data.min_time,
            data.sample_count, data.above_count, data.below_count,
            np.ctypeslib.as_array(data.buckets)[:used].copy())

    def __repr__(self):
        state = "" if self._open else " closed"
        return "<Stream channel %d of %r%s>" % (self.channel, self.camera, state)


def _stream_setting(getter, setter):
    def read(self):
        return check_value(self._call(getter), getter)

    def write(self, value):
        value = int(value)
        if not 0 <= value <= 0xFFFFFFFF:
            raise InvalidArgument(setter, "%d is not an unsigned 32-bit value" % value)
        check(self._call(setter, value), setter)

    return property(read, write if setter else None)


for _name, _getter, _setter in _STREAM_SETTINGS:
    setattr(Stream, _name, _stream_setting(_getter, _setter))


@atexit.register
def _close_at_exit():
    """Ends every stream and connection before the interpreter goes, so that no library thread
    outlives it."""
    for camera in list(_table.connected):
        try:
            camera.close()
        except (TaviError, RuntimeError):
            pass
    if _native.loaded() is not None:
        _native.loaded().DestroyCamera()
