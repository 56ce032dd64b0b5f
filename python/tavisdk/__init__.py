"""TaviSDK for Python: find GigE Vision 3D cameras, set them up, stream their frames as numpy
arrays, and turn depth frames into point clouds, coloured clouds and files.

    import tavisdk

    for info in tavisdk.discover():
        with tavisdk.Camera(info) as camera:
            with camera.stream(0) as stream, camera.acquisition():
                frame = stream.capture()
            points = frame.points()          # (height, width, 3) float32
            frame.save_ply("cloud.ply")
"""

from .camera import Camera, CameraInfo, discover, force_ip, set_log_level
from .processing import Roi
from .stream import BlockStatistics, PacketStatistics, ReceiveTimeStatistics, Stream
from .errors import InvalidArgument, Result, TaviError, result_name
from .formats import RAW_POINT, PixelFormat, bytes_per_pixel
from .frame import Frame

__all__ = [
    "BlockStatistics",
    "Camera",
    "CameraInfo",
    "Frame",
    "InvalidArgument",
    "PacketStatistics",
    "PixelFormat",
    "RAW_POINT",
    "ReceiveTimeStatistics",
    "Result",
    "Roi",
    "Stream",
    "TaviError",
    "bytes_per_pixel",
    "discover",
    "force_ip",
    "result_name",
    "set_log_level",
]
