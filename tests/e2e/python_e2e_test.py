"""The Python package against one virtual camera (run inside scripts/netns-run.sh): discovery,
connection, features, streams of the three sensors, decoding, fusion and files, with the numpy
arrays checked against the camera's scene."""

import math
import os
import re
import struct
import tempfile
import unittest

import numpy as np

import tavisdk
from tavisdk import PixelFormat, TaviError

CAPTURE_WAIT = 30.0  # seconds; bounds a hang, a sanitizer build's camera renders slowly
DEPTH, COLOUR, GREY = 0, 1, 2
SCENE_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                            "virtual-camera", "scene", "scene.h")


def scene_constants():
    """The scene's numbers as the virtual camera's source gives them: name -> float or tuple."""
    with open(SCENE_HEADER) as header:
        text = header.read()
    constants = {}
    for name, value in re.findall(r"constexpr double (k\w+) = ([-\d.]+);", text):
        constants[name] = float(value)
    for name, values in re.findall(r"constexpr Vec3 (k\w+)\{([-\d., ]+)\};", text):
        constants[name] = tuple(float(v) for v in values.split(","))
    for name, values in re.findall(r"constexpr Rgb (k\w+)\{([\d, ]+)\};", text):
        constants[name] = tuple(int(v) for v in values.split(","))
    return constants


SCENE = scene_constants()


def on_sphere(xyz):
    centre = np.array(SCENE["kSphereCentre"], np.float64)
    distance = np.linalg.norm(xyz.astype(np.float64) - centre, axis=-1)
    return np.abs(distance - SCENE["kSphereRadius"]) < 3.0


def near_box(xyz, margin=5.0):
    low = np.array(SCENE["kBoxMin"]) - margin
    high = np.array(SCENE["kBoxMax"]) + margin
    return np.all((xyz > low) & (xyz < high), axis=-1)


def sphere_red(r, g, b):
    return (r > 2 * g) & (r > 2 * b)


def capture_together(camera, channels):
    """One frame of each channel, all streaming at once."""
    streams = [camera.stream(channel, timeout=CAPTURE_WAIT) for channel in channels]
    try:
        with camera.acquisition():
            return [stream.capture(CAPTURE_WAIT) for stream in streams]
    finally:
        for stream in streams:
            stream.close()


class PythonE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cameras = tavisdk.discover()
        if len(cameras) != 1:
            raise AssertionError("run inside scripts/netns-run.sh with one camera: %r" % cameras)
        cls.info = cameras[0]
        cls.camera = tavisdk.Camera(cls.info).connect()
        cls.camera.set_feature("PixelFormat", PixelFormat.RGB8, channel=COLOUR)
        cls.depth, cls.colour = capture_together(cls.camera, [DEPTH, COLOUR])

    @classmethod
    def tearDownClass(cls):
        cls.camera.close()
        cls.scratch.cleanup()

    def path(self, name):
        return os.path.join(self.scratch.name, name)

    def test_discovery_gives_the_cameras_address_and_version(self):
        self.assertEqual(self.info.ip, os.environ["TAVI_CAMERA_0_IP"])
        self.assertEqual(self.info.device_version, "1.0.0")
        self.assertTrue(self.info.same_segment)
        self.assertEqual(self.camera.read_string("DeviceSerialNumber"), "TVP001")
        with self.assertRaises(RuntimeError):
            tavisdk.discover()  # the connected camera's row would be rebuilt under it

    def test_features_set_are_read_back(self):
        minimum, maximum, increment = self.camera.feature_limits("ExposureTime")
        self.assertLess(minimum, 4321)
        self.assertLessEqual(4321, maximum)
        self.camera.set_exposure_time(4321, DEPTH)
        self.assertEqual(self.camera.exposure_time(DEPTH), 4321)
        self.camera.set_laser_brightness(37)
        self.assertEqual(self.camera.laser_brightness(), 37)
        self.camera.set_feature("ExposureTime", 2500, sensor=GREY)
        self.assertEqual(self.camera.exposure_time(GREY), 2500)
        self.assertEqual(self.camera.feature("PayloadSize", channel=DEPTH), 1280 * 1024 * 6)
        self.assertIn("ExposureTime", self.camera.feature_names())

    def test_the_librarys_refusals_raise_with_their_code(self):
        with self.assertRaises(TaviError) as caught:
            self.camera.set_laser_brightness(101)
        self.assertEqual((caught.exception.code, caught.exception.name),
                         (-2, "INVALID_ARGUMENT"))
        with self.assertRaises(TaviError) as caught:
            self.camera.feature("NoSuchFeature")
        self.assertEqual(caught.exception.name, "FEATURE_NOT_FOUND")

    def test_depth_pixels_are_raw_points_and_decode_to_the_planes_depth(self):
        depth = self.depth
        self.assertTrue(depth.complete)
        self.assertEqual((depth.pixel_format, depth.width, depth.height),
                         (PixelFormat.COORD3D_ABC16, 1280, 1024))
        raw = depth.pixels
        self.assertEqual((raw.shape, raw.dtype, raw.strides),
                         ((1024, 1280), tavisdk.RAW_POINT, (1280 * 6, 6)))
        points = depth.points()
        self.assertEqual((points.shape, points.dtype), ((1024, 1280, 3), np.float32))
        unit = np.float32(depth.cloud_unit)
        np.testing.assert_array_equal(points[..., 2], raw["z"].astype(np.float32) / unit)
        np.testing.assert_array_equal(points[..., 0], raw["x"].astype(np.float32) / unit)

        measured = points[..., 2] > 1e-6
        background = measured & ~on_sphere(points) & ~near_box(points)
        self.assertGreater(background.sum(), 500000)
        x, y, z = (points[..., axis][background] for axis in range(3))
        plane = SCENE["kPlaneZ0"] + SCENE["kPlaneSlopeX"] * x + SCENE["kPlaneSlopeY"] * y
        on_plane = np.abs(z - plane) < 3.0
        self.assertGreater(on_plane.mean(), 0.99)
        # The Z plane holds the same depths in raw steps, most significant byte first.
        z_plane = depth.plane("z")
        self.assertEqual((z_plane.shape, z_plane.dtype), ((1024, 1280), np.dtype(">i2")))
        np.testing.assert_array_equal(z_plane.astype(np.int64) & 0xFFFF,
                                      raw["z"].astype(np.int64))

    def test_the_fused_cloud_colours_the_sphere_red(self):
        colour = self.colour
        self.assertEqual(colour.pixels.shape, (1024, 1280, 3))
        fused = self.camera.colour_cloud(colour, self.depth)
        self.assertEqual((fused.shape, fused.dtype), ((1024, 1280, 6), np.float32))
        sphere = (fused[..., 2] > 1e-6) & on_sphere(fused[..., :3])
        self.assertGreater(sphere.sum(), 1000)
        blue, green, red = (fused[..., channel][sphere] for channel in (3, 4, 5))
        self.assertGreater(sphere_red(red, green, blue).mean(), 0.95)
        # The box is green.
        xyz = fused[..., :3]
        box = (xyz[..., 2] > 1e-6) & near_box(xyz, margin=3.0) & ~on_sphere(xyz)
        self.assertGreater(box.sum(), 1000)
        blue, green, red = (fused[..., channel][box] for channel in (3, 4, 5))
        self.assertGreater(((green > 2 * red) & (green > 2 * blue)).mean(), 0.95)

    def test_the_cloud_resampled_onto_the_colour_image_lies_behind_its_red_pixels(self):
        resampled = self.camera.cloud_on_image(self.colour, self.depth)
        self.assertEqual((resampled.width, resampled.height), (1280, 1024))
        points = resampled.points()
        sphere = (points[..., 2] > 1e-6) & on_sphere(points)
        self.assertGreater(sphere.sum(), 1000)
        rgb = self.colour.pixels[sphere].astype(np.int32)
        self.assertGreater(sphere_red(rgb[:, 0], rgb[:, 1], rgb[:, 2]).mean(), 0.95)

    def test_a_rectangle_around_the_sphere_in_the_colour_image_marks_its_depth_points(self):
        rgb = self.colour.pixels.astype(np.int32)
        red = np.where(sphere_red(rgb[..., 0], rgb[..., 1], rgb[..., 2]), 255, 0).astype(np.int32)
        bounds = self.camera.mask_bounds(red, self.colour)
        self.assertGreater(min(bounds.width, bounds.height), 40)
        # A quarter in from each side: well inside the sphere.
        inner = tavisdk.Roi(bounds.width // 2, bounds.height // 2,
                            bounds.offset_x + bounds.width // 4,
                            bounds.offset_y + bounds.height // 4)
        mask = self.camera.map_roi(self.depth, self.colour, self.depth, inner)
        self.assertEqual(mask.shape, (1024, 1280))
        marked = mask == 255
        self.assertGreater(marked.sum(), inner.width * inner.height // 4)
        points = self.depth.points()
        self.assertGreater(on_sphere(points[marked]).mean(), 0.98)
        self.camera.swell(mask, self.depth)
        self.camera.corrode(mask, self.depth)
        cleaned = self.camera.mask_bounds(mask, self.depth)
        self.assertGreater(min(cleaned.width, cleaned.height), 10)

    def test_filters_remove_stray_points_in_place(self):
        for name, apply in (("window", lambda frame: frame.camera.filter_cloud(frame, 1.0)),
                            ("grid", lambda frame: frame.camera.spatial_filter(frame, 5))):
            with self.subTest(name):
                cloud = self.depth.copy()
                view = cloud.pixels
                before = (view["z"] > 0).sum()
                apply(cloud)
                after = (view["z"] > 0).sum()
                self.assertLess(after, before)
                self.assertGreater(after, before * 0.8)
        self.assertGreater((self.depth.pixels["z"] > 0).sum(), 0)

    def test_point_cloud_files_hold_the_decoded_points(self):
        points = self.depth.points().reshape(-1, 3)
        measured = points[:, 2] > 1e-6
        self.depth.save_pcd(self.path("cloud.pcd"))
        with open(self.path("cloud.pcd"), "rb") as pcd:
            content = pcd.read()
        header, body = content.split(b"DATA binary\r\n", 1)
        count = int(re.search(rb"POINTS (\d+)", header).group(1))
        stored = np.frombuffer(body, np.float32).reshape(count, 3)
        self.assertEqual(count, 1280 * 1024)
        np.testing.assert_array_equal(stored[measured], points[measured])
        self.assertTrue(np.isnan(stored[~measured]).all())

        self.depth.save_ply(self.path("cloud.ply"))
        with open(self.path("cloud.ply"), "rb") as ply:
            head = ply.read(200)
        self.assertTrue(head.startswith(b"ply\r\n"))
        self.assertRegex(head, rb"element vertex \d+")

    def test_the_depth_png_holds_the_z_plane(self):
        self.depth.save_png(self.path("depth.png"))
        with open(self.path("depth.png"), "rb") as png:
            content = png.read()
        self.assertEqual(content[:8], b"\x89PNG\r\n\x1a\n")
        width, height, bits, colour_type = struct.unpack(">IIBB", content[16:26])
        self.assertEqual((width, height, bits, colour_type), (1280, 1024, 16, 0))
        try:
            from PIL import Image
        except ImportError:
            return
        samples = np.array(Image.open(self.path("depth.png")), dtype=np.int64)
        np.testing.assert_array_equal(samples & 0xFFFF,
                                      self.depth.plane("z").astype(np.int64) & 0xFFFF)

    def test_a_colour_bmp_holds_the_pixels_bottom_up_in_blue_green_red(self):
        self.colour.save_bmp(self.path("colour.bmp"))
        with open(self.path("colour.bmp"), "rb") as bmp:
            content = bmp.read()
        self.assertEqual(content[:2], b"BM")
        offset, = struct.unpack("<I", content[10:14])
        width, height = struct.unpack("<ii", content[18:26])
        self.assertEqual((width, height), (1280, 1024))
        rows = np.frombuffer(content, np.uint8, offset=offset).reshape(1024, 1280, 3)
        np.testing.assert_array_equal(rows[::-1, :, ::-1], self.colour.pixels)

    def test_grey_and_bayer_frames_convert_and_save_without_changing_the_frame(self):
        self.camera.set_feature("PixelFormat", PixelFormat.BAYER_RG8, channel=COLOUR)
        try:
            grey, bayer = capture_together(self.camera, [GREY, COLOUR])
        finally:
            self.camera.set_feature("PixelFormat", PixelFormat.RGB8, channel=COLOUR)
        self.assertEqual((grey.pixels.shape, grey.pixels.dtype), ((1024, 1280), np.uint8))
        grey.save_bmp(self.path("grey.bmp"))
        self.assertGreater(os.path.getsize(self.path("grey.bmp")), 1280 * 1024)

        self.assertEqual(bayer.pixel_format, PixelFormat.BAYER_RG8)
        raw = bayer.pixels
        before = raw.copy()
        rgb = bayer.to_rgb()
        bayer.save_bmp(self.path("bayer.bmp"))
        self.assertEqual(bayer.pixel_format, PixelFormat.BAYER_RG8)
        np.testing.assert_array_equal(raw, before)
        self.assertEqual((rgb.pixel_format, rgb.pixels.shape), (PixelFormat.RGB8, (1024, 1280, 3)))
        red = sphere_red(*(rgb.pixels[..., channel].astype(np.int32) for channel in range(3)))
        self.assertGreater(red.sum(), 1280 * 1024 // 100)

    def test_a_yuyv_frame_is_fused_through_a_converted_copy(self):
        self.camera.set_feature("PixelFormat", PixelFormat.YUV422_8, channel=COLOUR)
        try:
            depth, yuyv = capture_together(self.camera, [DEPTH, COLOUR])
        finally:
            self.camera.set_feature("PixelFormat", PixelFormat.RGB8, channel=COLOUR)
        self.assertEqual(yuyv.pixels.shape, (1024, 1280, 2))
        before = yuyv.raw.copy()
        fused = self.camera.colour_cloud(yuyv, depth)
        self.assertEqual(yuyv.pixel_format, PixelFormat.YUV422_8)
        np.testing.assert_array_equal(yuyv.raw, before)
        sphere = (fused[..., 2] > 1e-6) & on_sphere(fused[..., :3])
        self.assertGreater(sphere.sum(), 1000)
        blue, green, red = (fused[..., channel][sphere] for channel in (3, 4, 5))
        self.assertGreater(sphere_red(red, green, blue).mean(), 0.95)
        rgb = yuyv.to_rgb()
        self.assertEqual((rgb.pixel_format, rgb.payload_size), (PixelFormat.RGB8, 1280 * 1024 * 3))

    def test_a_stream_counts_its_frames_and_ends_cleanly(self):
        with self.camera.stream(GREY, timeout=CAPTURE_WAIT) as stream:
            self.assertIsNone(stream.try_capture())
            self.camera.start_acquisition()
            try:
                frames = list(stream.frames(2))
            finally:
                self.camera.stop_acquisition()
            statistics = stream.block_statistics()
            packets = stream.packet_statistics()
            times = stream.receive_time_statistics()
            self.assertEqual(stream.block_timeout, 100000)
            self.assertTrue(stream.resend)
        self.assertEqual([frame.channel for frame in frames], [GREY, GREY])
        self.assertNotEqual(frames[0].block_id, frames[1].block_id)
        self.assertGreaterEqual(statistics.complete, 2)
        self.assertGreater(packets.received, 2)
        self.assertGreaterEqual(times.sample_count, 2)
        self.assertEqual((times.bucket_width, times.buckets.shape), (1000, (1000,)))
        self.assertGreaterEqual(times.buckets.sum(), 1)
        with self.assertRaises(TaviError) as caught:
            stream.capture()
        self.assertEqual(caught.exception.name, "FLAT_NO_STREAM")

    def test_calibration_and_clock(self):
        distortion, matrix = self.camera.intrinsics(COLOUR)
        self.assertEqual((distortion.shape, matrix.shape), ((5,), (3, 3)))
        self.assertAlmostEqual(float(matrix[0, 0]), 1300.0, places=2)
        rotation, translation = self.camera.extrinsics(DEPTH)
        np.testing.assert_allclose(rotation, np.eye(3), atol=1e-6)
        self.assertEqual(self.camera.timestamp_tick_frequency(), 1000000000)
        self.assertTrue(math.isfinite(self.camera.timestamp_value()))


if __name__ == "__main__":
    unittest.main()
