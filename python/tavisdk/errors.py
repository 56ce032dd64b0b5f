"""Result codes of the library and the exception that carries them."""

import enum


class Result(enum.IntEnum):
    """The library's own result codes; 0 is success, every failure is negative."""

    OK = 0
    FILE_OR_COUNT = -1
    INVALID_ARGUMENT = -2
    NO_ADAPTER_LIST = -3
    FORCE_IP = -4
    NO_CAMERAS_TO_SORT = -5
    SOCKET_CREATE = -6
    SOCKET_BIND = -7
    PROBE_SEND = -8
    DESCRIPTION_READ = -10
    NOT_CONNECTED = -11
    LOG_OPEN = -12
    MTU = -13
    GAIN_RANGE = -16
    INVALID_VALUE_READ = -17
    HEARTBEAT_THREAD = -19
    FEATURE_NOT_FOUND = -21
    PIXEL_FORMAT = -22
    ROI_RANGE = -25
    MAX_READ = -28
    MIN_READ = -29
    HEARTBEAT_LIMITS = -30
    HEARTBEAT_READ = -31
    CHANNEL_INDEX = -33
    NO_FRAME = -34
    CAPTURE = -35
    IP_CONVERSION = -36
    NO_WRITER = -41
    FILE_OPEN = -42
    DESCRIPTION_SAVE = -43
    FTP_HANDLE = -44
    FTP_CONNECT = -45
    FTP_TRANSFER = -46
    NO_STREAM = -50
    INCREMENT_READ = -51
    WRITE_REGISTER = -52
    READ_REGISTER = -53
    WRITE_MEMORY = -54
    READ_MEMORY = -55
    CCP_READ = -56
    FUSION_FORMAT = -59
    FLAT_NO_STATUS = -60
    FLAT_NO_STREAM = -98
    FLAT_NO_CAMERA = -99


# GigE Vision acknowledge statuses: the transport returns them as they came from the camera, and
# the memory reads sign-extended from 16 bits.
DEVICE_STATUS_NAMES = {
    0x8001: "GEV_STATUS_NOT_IMPLEMENTED",
    0x8002: "GEV_STATUS_INVALID_PARAMETER",
    0x8003: "GEV_STATUS_INVALID_ADDRESS",
    0x8004: "GEV_STATUS_WRITE_PROTECT",
    0x8005: "GEV_STATUS_BAD_ALIGNMENT",
    0x8006: "GEV_STATUS_ACCESS_DENIED",
    0x8007: "GEV_STATUS_BUSY",
    0x800C: "GEV_STATUS_PACKET_UNAVAILABLE",
    0x800D: "GEV_STATUS_DATA_OVERRUN",
    0x800E: "GEV_STATUS_INVALID_HEADER",
    0x800F: "GEV_STATUS_WRONG_CONFIG",
    0x8FFF: "GEV_STATUS_ERROR",
}


def result_name(code):
    """The name of a result code: the library's own, a camera status, or 'UNKNOWN'."""
    try:
        return Result(code).name
    except ValueError:
        pass
    status = code & 0xFFFF
    if (code == status or code - status == -0x10000) and status in DEVICE_STATUS_NAMES:
        return DEVICE_STATUS_NAMES[status]
    if (code == status or code - status == -0x10000) and status & 0xF000 == 0x8000:
        return "GEV_STATUS_0x%04X" % status
    return "UNKNOWN"


class TaviError(Exception):
    """A library call failed: `code` is its result, `name` the code's name, `function` the call."""

    def __init__(self, code, function, detail=None):
        self.code = int(code)
        self.name = result_name(self.code)
        self.function = function
        self.detail = detail
        message = "%s failed: %s (%d)" % (function, self.name, self.code)
        if detail:
            message += ": " + detail
        super().__init__(message)


class InvalidArgument(TaviError, ValueError):
    """A call refused before it reached the library: an argument the library cannot take."""

    def __init__(self, function, detail):
        super().__init__(Result.INVALID_ARGUMENT, function, detail)


def check(code, function):
    """Raises TaviError when a call's result is not 0; returns 0 otherwise."""
    if code != 0:
        raise TaviError(code, function)
    return code


def check_value(value, function):
    """A getter's result holds the value or, when negative, a code: raises on the code."""
    if value < 0:
        raise TaviError(value, function)
    return value


def check_wide_value(value, function):
    """A 64-bit getter widens its failure code to 64 bits: the top 48 bits are then all set."""
    if value >= 0xFFFFFFFFFFFF0000:
        raise TaviError(value - (1 << 64), function)
    return value
