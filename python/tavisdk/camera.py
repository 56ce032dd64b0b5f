"""Discovery, cameras and streams over the library's process-wide camera table."""

import atexit
import contextlib
import ctypes
import dataclasses
import inspect
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
from .frame import HeapBlock
from .processing import FrameOperations, _path, _pointer
from .stream import Stream

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
# The library refuses string registers longer than 4096 bytes; one byte more holds the whole text
# and its terminating zero.
STRING_REGISTER_BYTES = 4096 + 1

DEFAULT_CAPTURE_TIMEOUT = 5.0  # seconds


class _TableState:
    """The flat interface keeps one discovery list and one camera table per process. Rediscovery
    rebuilds both, so it is refused while cameras of the last one are connected; each discovery
    has a generation number that tells a Camera whether its row still belongs to it."""

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
        for value in values:
            if not -0x80000000 <= value <= 0x7FFFFFFF:
                raise InvalidArgument(function, "%d does not fit a 32-bit int" % value)
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


class Camera(FrameOperations):
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
        # The library writes no more than the buffer holds, and always a terminating zero.
        self._library.ReadStringRegisterBounded(self._index(), name.encode("ascii"), buffer,
                                                len(buffer))
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
    @contextlib.contextmanager
    def acquisition(self):
        """Starts acquisition for the `with` block and stops it on leaving."""
        self.start_acquisition()
        try:
            yield self
        finally:
            self.stop_acquisition()

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
