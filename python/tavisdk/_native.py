"""The shared library, its records and the signatures of its flat functions (ctypes only)."""

import ctypes
import os
import threading

LIBRARY_ENVIRONMENT = "TAVI_SDK_LIBRARY"
LIBRARY_SONAME = "libTaviSDK.so.1"

c_int = ctypes.c_int
c_uint = ctypes.c_uint
c_ushort = ctypes.c_ushort
c_double = ctypes.c_double
c_float = ctypes.c_float
c_char_p = ctypes.c_char_p
c_void_p = ctypes.c_void_p
c_int_p = ctypes.POINTER(ctypes.c_int)
c_uint_p = ctypes.POINTER(ctypes.c_uint)
c_short_p = ctypes.POINTER(ctypes.c_short)
c_float_p = ctypes.POINTER(ctypes.c_float)


class PhotoInfo(ctypes.Structure):
    """One frame as the library hands it: `payload_size` valid bytes at `data`."""

    _fields_ = [
        ("data", ctypes.c_void_p),
        ("reserved", ctypes.c_uint32),
        ("pixel_format", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("cloud_unit", ctypes.c_uint32),
        ("payload_size", ctypes.c_uint32),
        ("timestamp_high", ctypes.c_uint32),
        ("timestamp_low", ctypes.c_uint32),
        ("size_x", ctypes.c_uint32),
        ("size_y", ctypes.c_uint32),
        ("offset_x", ctypes.c_uint32),
        ("offset_y", ctypes.c_uint32),
        ("block_id", ctypes.c_uint16),
        ("channel_index", ctypes.c_uint16),
    ]


class RoiPoint(ctypes.Structure):
    """A rectangle in pixels: columns offset_x .. offset_x + width - 1, likewise the lines."""

    _fields_ = [
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("offset_x", ctypes.c_int32),
        ("offset_y", ctypes.c_int32),
    ]


STATISTICS_BUCKET_SLOTS = 1000


class StatisticsData(ctypes.Structure):
    """Histogram of block receive times in microseconds."""

    _fields_ = [
        ("range_start", ctypes.c_int32),
        ("bucket_width", ctypes.c_uint32),
        ("bucket_count", ctypes.c_int32),
        ("max_time", ctypes.c_int32),
        ("min_time", ctypes.c_int32),
        ("sample_count", ctypes.c_uint64),
        ("above_count", ctypes.c_uint64),
        ("below_count", ctypes.c_uint64),
        ("buckets", ctypes.c_uint64 * STATISTICS_BUCKET_SLOTS),
    ]


c_photo_p = ctypes.POINTER(PhotoInfo)
c_roi_p = ctypes.POINTER(RoiPoint)
c_statistics_p = ctypes.POINTER(StatisticsData)
c_uint64 = ctypes.c_uint64

# Every flat function the package calls: name, result type, argument types. The camera index comes
# first; stream functions take the channel as an unsigned short, except the two resend-flag ones.
_STREAM = (c_int, c_ushort)
SIGNATURES = [
    # the process-wide state
    ("DiscoverCamera", c_int, ()),
    ("CameraSort", c_int, (c_int,)),
    ("CreateCamera", c_int, ()),
    ("DestroyCamera", None, ()),
    ("SetLogLevel", None, (c_int, c_int, c_int, c_int)),
    ("CameraIP", c_char_p, (c_int,)),
    ("ForceIP", c_int, (c_int, c_char_p, c_char_p, c_char_p)),
    ("WhetherIsSameSegment", ctypes.c_bool, (c_int,)),
    # cameras through their discovery record
    ("CameraConnect", c_int, (c_int,)),
    ("GetCameraCCPStatus", c_int, (c_int, c_int_p)),
    ("FirmwareUpgrade", c_int, (c_int, c_char_p)),
    ("CameraVerions", c_char_p, (c_int,)),
    ("SDKVersion", c_char_p, (c_int,)),
    # camera operations
    ("AcquisitionStart", c_int, (c_int,)),
    ("AcquisitionStop", c_int, (c_int,)),
    ("CameraDisconnect", c_int, (c_int,)),
    ("GetAutoExposure", c_int, (c_int, c_int)),
    ("GetCamExposureGainLevel", c_int, (c_int, c_int)),
    ("GetExposureTime", c_int, (c_int, c_int)),
    ("GetGain", c_int, (c_int, c_int, c_int)),
    ("GetCamExternelParameter", c_int, (c_int, c_int, c_float_p, c_float_p)),
    ("GetCamInternelParameter", c_int, (c_int, c_int, c_float_p, c_float_p)),
    ("GetHeartBeatTimeout", c_int, (c_int,)),
    ("GetLaserbrightness", c_int, (c_int,)),
    ("GetMutipleExposure", c_int, (c_int,)),
    ("GetStrobeLEDbrightress", c_int, (c_int,)),
    ("GetStrobeLEDswitch", c_int, (c_int,)),
    ("GetTimestamp", c_int, (c_int,)),
    ("GetTimestampStatus", c_int, (c_int,)),
    ("SetTimestampControlLatch", c_int, (c_int,)),
    ("GetNodeIncValue", c_int, (c_int, c_char_p)),
    ("GetNodeMaxValue", c_int, (c_int, c_char_p)),
    ("GetNodeMinValue", c_int, (c_int, c_char_p)),
    ("GetRegisterAddr", c_int, (c_int, c_char_p)),
    ("SetAutoExposure", c_int, (c_int, c_int, c_int)),
    ("SetCamExposureGainLevel", c_int, (c_int, c_int, c_int)),
    ("SetExposureTime", c_int, (c_int, c_int, c_int)),
    ("SetGain", c_int, (c_int, c_int, c_int, c_int)),
    ("SetHeartBeatTimeout", c_int, (c_int, c_int)),
    ("SetLaserbrightness", c_int, (c_int, c_int)),
    ("SetMutipleExposure", c_int, (c_int, c_int)),
    ("SetRGBTriggerCount", c_int, (c_int, c_int)),
    ("SetRGBTriggerMode", c_int, (c_int, c_int)),
    ("SetStrobeLEDbrightress", c_int, (c_int, c_int)),
    ("SetStrobeLEDswitch", c_int, (c_int, c_int)),
    ("SetTimestamp", c_int, (c_int, c_int)),
    ("SetTriggerCount", c_int, (c_int, c_int)),
    ("SetTriggerMode", c_int, (c_int, c_int)),
    ("SetTriggerSource", c_int, (c_int, c_int)),
    ("SetRoi", c_int, (c_int, c_int, c_int, c_int, c_int, c_int)),
    ("WriteRegister", c_int, (c_int, c_uint, c_int)),
    ("ReadRegister", c_int, (c_int, c_uint, c_int_p)),
    ("SaveXmlToLocal", c_int, (c_int, c_char_p)),
    ("GetTimestampTickFrequency", c_uint64, (c_int,)),
    ("GetTimestampValue", c_uint64, (c_int,)),
    ("ReadStringRegisterBounded", c_int, (c_int, c_char_p, c_char_p, c_uint)),
    ("GetCameraXMLNodeNames", None, (c_int, c_char_p, c_int_p)),
    # processing and export
    ("Fusion3DToRGB", c_int, (c_int, c_photo_p, c_photo_p, c_photo_p)),
    ("FusionImageTo3D", c_int, (c_int, c_photo_p, c_photo_p, c_float_p)),
    ("SaveDepthToPng", c_int, (c_int, c_photo_p, c_char_p)),
    ("SavePointCloudToPcd", c_int, (c_int, c_photo_p, c_char_p)),
    ("SavePointCloudToPly", c_int, (c_int, c_photo_p, c_char_p)),
    ("SavePointCloudToTxt", c_int, (c_int, c_photo_p, c_char_p)),
    ("SaveToBMP", c_int, (c_int, c_photo_p, c_char_p)),
    ("SavePointCloudWithImageToTxt", c_int, (c_int, c_photo_p, c_float_p, c_char_p)),
    ("GetCloudPlaneX", c_int, (c_int, c_photo_p, c_short_p)),
    ("GetCloudPlaneY", c_int, (c_int, c_photo_p, c_short_p)),
    ("GetCloudPlaneZ", c_int, (c_int, c_photo_p, c_short_p)),
    ("SaveCloudPlane", c_int, (c_int, c_photo_p, c_short_p, c_char_p)),
    ("SpatialFilterPointcloud", c_int, (c_int, c_photo_p, c_int)),
    ("Convert3DPointFromCharToFloat", None, (c_int, c_photo_p, c_float_p)),
    ("FilterPointCloud", None, (c_int, c_photo_p, c_double)),
    ("RawdataToRgb888", None, (c_int, c_photo_p)),
    ("PixelCorrosion", None, (c_int, c_int_p, c_photo_p)),
    ("PixelSwell", None, (c_int, c_int_p, c_photo_p)),
    ("ROIMappingCoordinate", None, (c_int, c_int_p, c_photo_p, c_roi_p)),
    ("ROIPixelMapping", None, (c_int, c_photo_p, c_photo_p, c_photo_p, c_roi_p, c_int_p)),
    # streams
    ("StreamOn", c_int, _STREAM),
    ("StreamOff", c_int, _STREAM),
    ("Capture", c_int, _STREAM + (c_photo_p,)),
    ("TryCapture", c_int, _STREAM + (c_photo_p,)),
    ("TimeoutCapture", c_int, _STREAM + (c_photo_p, ctypes.c_longlong)),
    ("FlushBuffer", None, _STREAM),
    ("GetBlockRate", c_float, _STREAM),
    ("GetPacketResendRatio", c_double, _STREAM),
    ("GetMaxBufferLength", c_int, _STREAM),
    ("GetNetSpeed", c_int, _STREAM),
    ("GetPacketTimeout", c_int, _STREAM),
    ("GetSocketSelectTimeout", c_int, _STREAM),
    ("GetBlockTimeout", c_int, _STREAM),
    ("SetBlockTimeout", c_int, _STREAM + (c_uint,)),
    ("SetMaxBufferLength", c_int, _STREAM + (c_uint,)),
    ("SetPacketTimeout", c_int, _STREAM + (c_uint,)),
    ("SetSocketSelectTimeout", c_int, _STREAM + (c_uint,)),
    ("SetPacketResendRatio", c_int, _STREAM + (c_double,)),
    ("GetBlockStatistics", None, _STREAM + (c_uint_p,) * 8),
    ("GetPacketStatistics", None, _STREAM + (c_uint_p,) * 7),
    ("GetRecieveTimeStatistics", None, _STREAM + (c_statistics_p,)),
    ("GetResendRequest", c_int, (c_int, c_int)),
    ("SetResendRequest", None, (c_int, c_int, c_uint)),
]


def candidate_paths():
    """Where the library is looked for, in order: the environment; the location written beside
    the package by the build (build/python/tavisdk) or by `cmake --install`; the build tree beside
    the package's source tree; the system's loader."""
    explicit = os.environ.get(LIBRARY_ENVIRONMENT)
    if explicit:
        return [explicit]
    paths = []
    try:
        from tavisdk import _location

        paths.append(_location.LIBRARY)
    except ImportError:
        pass
    source_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    paths.append(os.path.join(source_root, "build", LIBRARY_SONAME))
    paths.append(LIBRARY_SONAME)
    return paths


class MissingFunction:
    """Stands for a flat function the loaded library does not export: calling it raises."""

    def __init__(self, name, path):
        self.name = name
        self.path = path

    def __call__(self, *arguments):
        raise NotImplementedError("%s is not exported by %s" % (self.name, self.path))


class Library:
    """The loaded library with every flat function of SIGNATURES declared."""

    def __init__(self, handle, path):
        self.path = path
        self.missing = []
        for name, result, arguments in SIGNATURES:
            try:
                function = getattr(handle, name)
            except AttributeError:
                self.missing.append(name)
                setattr(self, name, MissingFunction(name, path))
                continue
            function.restype = result
            function.argtypes = arguments
            setattr(self, name, function)


def load(paths=None):
    """Loads the first library of `paths` (default: candidate_paths()) that the loader accepts."""
    failures = []
    for path in paths or candidate_paths():
        if os.path.sep in path and not os.path.exists(path):
            failures.append("%s: no such file" % path)
            continue
        try:
            return Library(ctypes.CDLL(path), path)
        except OSError as error:
            failures.append(str(error))
    raise OSError(
        "libTaviSDK could not be loaded (set %s to its path): %s"
        % (LIBRARY_ENVIRONMENT, "; ".join(failures))
    )


_library = None
_library_lock = threading.Lock()


def library():
    """The process's library, loaded on first use."""
    global _library
    with _library_lock:
        if _library is None:
            _library = load()
        return _library


def loaded():
    """The library if it has been loaded, else None."""
    return _library


# The C heap: frames whose buffer the colour conversion may replace must come from it.
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = (ctypes.c_size_t,)
_libc.calloc.restype = ctypes.c_void_p
_libc.calloc.argtypes = (ctypes.c_size_t, ctypes.c_size_t)
_libc.free.restype = None
_libc.free.argtypes = (ctypes.c_void_p,)


def heap_allocate(size, zeroed=True):
    """A C-heap block of `size` bytes (at least one), zeroed unless the caller fills it at once;
    MemoryError when the heap refuses."""
    size = max(int(size), 1)
    address = _libc.calloc(size, 1) if zeroed else _libc.malloc(size)
    if not address:
        raise MemoryError("the C heap refused %d bytes" % size)
    return address


def heap_free(address):
    _libc.free(address)
