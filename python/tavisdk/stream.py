"""Stream channels: captures into frames of their own, settings and statistics."""

import ctypes
import dataclasses
import threading

import numpy as np

from . import _native
from .errors import InvalidArgument, Result, TaviError, check, check_value
from .frame import Frame


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
        # The capture copies the whole payload into the block, and the frame's views end there.
        return Frame.allocate(self.payload_size, self.camera, zeroed=False)

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
