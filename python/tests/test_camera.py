import ctypes
import threading
import unittest

import numpy as np

import tavisdk
from fake_library import FakeLibrary, installed, target
from tavisdk import Frame, InvalidArgument, PixelFormat, TaviError


def discovered(fake, count=2):
    fake.results.update(
        DiscoverCamera=count,
        CreateCamera=count,
        CameraIP=lambda index: b"169.254.1.%d" % (10 + index),
        CameraVerions=lambda index: b"1.0.0",
        WhetherIsSameSegment=lambda index: True,
    )
    return tavisdk.discover()


def write_int(argument, value):
    """Stores into an int output of a flat function; returns the function's result, 0."""
    target(argument).value = value
    return 0


class Discovery(unittest.TestCase):
    def test_records_come_from_the_list_in_order(self):
        with installed(FakeLibrary()) as fake:
            infos = discovered(fake)
        self.assertEqual([info.index for info in infos], [0, 1])
        self.assertEqual(infos[1].ip, "169.254.1.11")
        self.assertEqual(infos[0].device_version, "1.0.0")
        self.assertTrue(infos[0].same_segment)
        names = [name for name, _ in fake.calls]
        self.assertLess(names.index("DestroyCamera"), names.index("DiscoverCamera"))
        self.assertLess(names.index("DiscoverCamera"), names.index("CreateCamera"))

    def test_a_failed_discovery_raises_its_code(self):
        with installed(FakeLibrary(DiscoverCamera=-3)):
            with self.assertRaises(TaviError) as caught:
                tavisdk.discover()
        self.assertEqual(caught.exception.name, "NO_ADAPTER_LIST")

    def test_a_camera_of_an_earlier_discovery_is_refused(self):
        with installed(FakeLibrary()) as fake:
            old = discovered(fake)[0]
            discovered(fake)
            with self.assertRaises(RuntimeError):
                tavisdk.Camera(old)

    def test_rediscovery_waits_until_connected_cameras_are_closed(self):
        with installed(FakeLibrary()) as fake:
            camera = tavisdk.Camera(discovered(fake)[1]).connect()
            with self.assertRaises(RuntimeError):
                tavisdk.discover()
            camera.close()
            self.assertEqual(fake.called("CameraDisconnect"), [(1,)])
            discovered(fake)


class Features(unittest.TestCase):
    def setUp(self):
        self.fake = FakeLibrary()
        self.enterContext(installed(self.fake))
        self.camera = tavisdk.Camera(discovered(self.fake)[1])

    def test_setters_pass_the_index_then_their_arguments_in_order(self):
        self.camera.set_exposure_time(5000, 2)
        self.camera.set_exposure_gain_level(sensor=1, level=3)
        self.camera.set_gain(2, 40, rgb=1)
        self.camera.set_roi(1, 640, 480, 8, 16)
        self.camera.trigger()
        self.assertEqual(self.fake.called("SetExposureTime"), [(1, 5000, 2)])
        self.assertEqual(self.fake.called("SetCamExposureGainLevel"), [(1, 1, 3)])
        self.assertEqual(self.fake.called("SetGain"), [(1, 2, 40, 1)])
        self.assertEqual(self.fake.called("SetRoi"), [(1, 1, 640, 480, 8, 16)])
        self.assertEqual(self.fake.called("SetTriggerCount"), [(1, 1)])

    def test_getters_return_values_and_raise_negative_codes(self):
        self.fake.results.update(GetExposureTime=12000, GetGain=-17)
        self.assertEqual(self.camera.exposure_time(0), 12000)
        with self.assertRaises(TaviError) as caught:
            self.camera.gain(1)
        self.assertEqual(self.fake.called("GetGain"), [(1, 1, 0)])
        self.assertEqual(caught.exception.name, "INVALID_VALUE_READ")

    def test_values_beyond_a_32_bit_int_are_refused_before_the_call(self):
        with self.assertRaises(InvalidArgument):
            self.camera.set_exposure_time(1 << 31, 0)
        with self.assertRaises(TypeError):
            self.camera.set_exposure_time(5000)  # the sensor is not optional
        self.assertEqual(self.fake.called("SetExposureTime"), [])

    def test_a_setter_that_fails_raises_the_code_of_the_failure(self):
        self.fake.results["SetTriggerMode"] = -11
        with self.assertRaises(TaviError) as caught:
            self.camera.set_trigger_mode(1)
        self.assertEqual((caught.exception.code, caught.exception.function),
                         (-11, "SetTriggerMode"))

    def test_a_per_channel_feature_is_read_at_its_channels_register(self):
        self.fake.results.update(GetRegisterAddr=0x10400,
                                 ReadRegister=lambda i, address, out: write_int(out, 7864320))
        self.assertEqual(self.camera.feature("PayloadSize", channel=2), 7864320)
        self.assertEqual(self.fake.called("GetRegisterAddr"), [(1, b"PayloadSize")])
        self.assertEqual(self.fake.called("ReadRegister")[0][:2], (1, 0x10480))
        self.camera.set_feature("Width", 640, sensor=1)
        self.assertEqual(self.fake.called("WriteRegister"), [(1, 0x10500, 640)])

    def test_register_values_and_addresses_fill_32_bits(self):
        self.fake.results["GetRegisterAddr"] = -0x7FFFFF00  # 0x80000100 as a signed int
        self.assertEqual(self.camera.register_address("Base"), 0x80000100)
        self.camera.write_register(0xFFFFFFFC, 0xFFFFFFFF)
        self.assertEqual(self.fake.called("WriteRegister"), [(1, 0xFFFFFFFC, -1)])
        self.fake.results["ReadRegister"] = lambda i, address, out: write_int(out, -2)
        self.assertEqual(self.camera.read_register(0x10), 0xFFFFFFFE)
        for address, value in ((1 << 32, 0), (-4, 0), (0, 1 << 32), (0, -(1 << 31) - 1)):
            with self.assertRaises(InvalidArgument):
                self.camera.write_register(address, value)
        self.assertEqual(len(self.fake.called("WriteRegister")), 1)

    def test_a_failed_address_lookup_raises_before_any_register_access(self):
        self.fake.results["GetRegisterAddr"] = -21
        with self.assertRaises(TaviError) as caught:
            self.camera.feature("NoSuchFeature")
        self.assertEqual(caught.exception.name, "FEATURE_NOT_FOUND")
        self.assertEqual(self.fake.called("ReadRegister"), [])

    def test_a_string_is_read_into_a_buffer_whose_size_the_library_is_told(self):
        def fill(index, name, buffer, capacity):
            ctypes.memmove(buffer, b"TVP001\0", 7)
            return 0

        self.fake.results["ReadStringRegisterBounded"] = fill
        self.assertEqual(self.camera.read_string("DeviceSerialNumber"), "TVP001")
        ((index, name, buffer, capacity),) = self.fake.called("ReadStringRegisterBounded")
        self.assertEqual((index, name), (1, b"DeviceSerialNumber"))
        self.assertEqual(capacity, len(buffer))

    def test_feature_names_are_read_from_255_byte_slots(self):
        def names(index, buffer, count):
            for slot, name in enumerate((b"Width", b"Height", b"x" * 254)):
                address = ctypes.cast(buffer, ctypes.c_void_p).value
                ctypes.memmove(address + 255 * slot, name + b"\0", len(name) + 1)
            write_int(count, 3)

        self.fake.results["GetCameraXMLNodeNames"] = names
        self.assertEqual(self.camera.feature_names(), ["Width", "Height", "x" * 254])

    def test_feature_names_of_a_missing_camera_raise(self):
        self.fake.results["GetCameraXMLNodeNames"] = lambda i, b, count: write_int(count, -1)
        with self.assertRaises(TaviError) as caught:
            self.camera.feature_names()
        self.assertEqual(caught.exception.code, -99)

    def test_the_clock_raises_a_widened_code(self):
        self.fake.results["GetTimestampTickFrequency"] = (1 << 64) - 11
        with self.assertRaises(TaviError) as caught:
            self.camera.timestamp_tick_frequency()
        self.assertEqual(caught.exception.name, "NOT_CONNECTED")


class Streams(unittest.TestCase):
    def setUp(self):
        self.fake = FakeLibrary(GetRegisterAddr=0x10400)
        self.fake.results["ReadRegister"] = lambda i, address, out: write_int(out, 24)
        self.enterContext(installed(self.fake))
        self.camera = tavisdk.Camera(discovered(self.fake)[0]).connect()
        self.addCleanup(self.camera.close)

    def test_a_stream_captures_into_a_buffer_of_the_channels_payload_size(self):
        def capture(index, channel, frame, timeout):
            info = target(frame)
            ctypes.memset(info.data, 9, 24)
            info.pixel_format, info.width, info.height = PixelFormat.MONO8, 6, 4
            info.payload_size = 24
            return 0

        self.fake.results["TimeoutCapture"] = capture
        with self.camera.stream(2) as stream:
            frame = stream.capture(timeout=0.25)
        self.assertEqual(self.fake.called("StreamOn"), [(0, 2)])
        self.assertEqual(self.fake.called("StreamOff"), [(0, 2)])
        self.assertEqual(self.fake.called("TimeoutCapture")[0][3], 250000)
        self.assertEqual(frame.block.size, 24)
        self.assertEqual(frame.pixels.shape, (4, 6))
        self.assertTrue((frame.pixels == 9).all())

    def test_iteration_yields_frames_until_a_wait_ends_without_one(self):
        results = iter([0, 0, -34])
        self.fake.results["TimeoutCapture"] = lambda *arguments: next(results)
        with self.camera.stream(0, timeout=1) as stream:
            frames = []
            with self.assertRaises(TaviError) as caught:
                for frame in stream:
                    frames.append(frame)
        self.assertEqual(len(frames), 2)
        self.assertEqual(caught.exception.name, "NO_FRAME")

    def test_try_capture_gives_none_when_no_frame_is_ready(self):
        self.fake.results["TryCapture"] = -34
        with self.camera.stream(0) as stream:
            self.assertIsNone(stream.try_capture())

    def test_channels_outside_the_camera_and_open_ones_are_refused(self):
        with self.assertRaises(InvalidArgument):
            self.camera.stream(3)
        with self.camera.stream(1):
            with self.assertRaises(InvalidArgument):
                self.camera.stream(1)
        self.assertEqual(self.fake.called("StreamOn"), [(0, 1)])

    def test_closing_the_camera_closes_its_streams_first(self):
        self.camera.stream(0)
        self.camera.stream(2)
        self.camera.close()
        names = [name for name, _ in self.fake.calls]
        self.assertEqual(self.fake.called("StreamOff"), [(0, 0), (0, 2)])
        self.assertLess(names.index("StreamOff"), names.index("CameraDisconnect"))

    def test_acquisition_stops_when_its_block_is_left_by_an_error(self):
        with self.assertRaises(KeyError):
            with self.camera.acquisition():
                raise KeyError
        names = [name for name, _ in self.fake.calls]
        self.assertLess(names.index("AcquisitionStart"), names.index("AcquisitionStop"))

    def test_a_closed_stream_makes_no_calls(self):
        stream = self.camera.stream(0)
        stream.close()
        stream.close()
        with self.assertRaises(TaviError) as caught:
            stream.capture()
        self.assertEqual(caught.exception.code, -98)
        self.assertEqual(len(self.fake.called("StreamOff")), 1)

    def test_closing_waits_for_a_capture_in_another_thread(self):
        entered, release = threading.Event(), threading.Event()

        def capture(*arguments):
            entered.set()
            release.wait(10)
            self.fake.calls.append(("capture returns", ()))
            return -34

        self.fake.results["TimeoutCapture"] = capture
        stream = self.camera.stream(0)
        capturing = threading.Thread(target=lambda: self.assertRaises(TaviError, stream.capture))
        capturing.start()
        self.assertTrue(entered.wait(10))
        closing = threading.Thread(target=stream.close)
        closing.start()
        closing.join(0.05)  # a close that does not wait calls StreamOff now
        release.set()
        capturing.join(10)
        closing.join(10)
        names = [name for name, _ in self.fake.calls]
        self.assertLess(names.index("capture returns"), names.index("StreamOff"))

    def test_settings_and_counters(self):
        self.fake.results.update(GetBlockTimeout=100000, GetPacketResendRatio=-98.0)
        self.fake.results["GetBlockStatistics"] = lambda i, c, *counters: [
            write_int(counter, n) for n, counter in enumerate(counters)]
        with self.camera.stream(0) as stream:
            self.assertEqual(stream.block_timeout, 100000)
            stream.packet_timeout = 20000
            with self.assertRaises(InvalidArgument):
                stream.packet_timeout = -1
            with self.assertRaises(TaviError):
                stream.resend_ratio
            statistics = stream.block_statistics()
        self.assertEqual(self.fake.called("SetPacketTimeout"), [(0, 0, 20000)])
        self.assertEqual((statistics.complete, statistics.truncated_packets), (0, 7))


class Processing(unittest.TestCase):
    def setUp(self):
        self.fake = FakeLibrary()
        self.enterContext(installed(self.fake))
        self.camera = tavisdk.Camera(discovered(self.fake)[0])
        self.cloud = Frame.from_bytes(bytes(6 * 12), PixelFormat.COORD3D_ABC16, 4, 3,
                                      camera=self.camera)

    def test_points_are_decoded_into_a_height_by_width_by_3_array(self):
        def decode(index, frame, output):
            for n in range(12 * 3):
                output[n] = n

        self.fake.results["Convert3DPointFromCharToFloat"] = decode
        points = self.cloud.points()
        self.assertEqual(points.shape, (3, 4, 3))
        self.assertEqual(points.dtype, np.float32)
        self.assertEqual(list(points[1, 0]), [12.0, 13.0, 14.0])

    def test_cloud_operations_refuse_other_formats_without_calling(self):
        grey = Frame.from_bytes(bytes(12), PixelFormat.MONO8, 4, 3, camera=self.camera)
        for call in (grey.points, lambda: grey.plane("z"), lambda: grey.save_pcd("x.pcd")):
            with self.assertRaises(InvalidArgument):
                call()
        self.assertEqual(self.fake.calls[-1][0], "WhetherIsSameSegment")

    def test_planes_are_big_endian_16_bit_images(self):
        plane = self.cloud.plane("y")
        self.assertEqual((plane.shape, plane.dtype), ((3, 4), np.dtype(">i2")))
        self.assertEqual(len(self.fake.called("GetCloudPlaneY")), 1)

    def test_masks_must_match_the_frame_in_type_shape_and_layout(self):
        good = np.zeros((3, 4), np.int32)
        self.camera.swell(good, self.cloud)
        for bad in (np.zeros((3, 4), np.int64), np.zeros((4, 3), np.int32),
                    np.zeros((3, 8), np.int32)[:, ::2], [[0] * 4] * 3):
            with self.assertRaises(InvalidArgument):
                self.camera.swell(bad, self.cloud)
        self.assertEqual(len(self.fake.called("PixelSwell")), 1)

    def test_rectangles_go_in_and_come_back_field_by_field(self):
        seen = []
        self.fake.results["ROIPixelMapping"] = lambda i, c, s, t, rect, mask: seen.append(
            tuple(getattr(target(rect), field)
                  for field in ("width", "height", "offset_x", "offset_y")))

        def bounds(index, mask, frame, rect):
            rect._obj.width, rect._obj.height = 3, 2
            rect._obj.offset_x, rect._obj.offset_y = 1, 0

        self.fake.results["ROIMappingCoordinate"] = bounds
        mask = self.camera.map_roi(self.cloud, self.cloud, self.cloud, tavisdk.Roi(4, 3, 2, 1))
        self.assertEqual(seen, [(4, 3, 2, 1)])
        self.assertEqual((mask.shape, mask.dtype), ((3, 4), np.int32))
        self.assertEqual(self.camera.mask_bounds(mask, self.cloud), tavisdk.Roi(3, 2, 1, 0))

    def test_a_bayer_frame_is_converted_in_a_copy_whose_buffer_the_library_replaces(self):
        raw = Frame.from_bytes(bytes(range(12)), PixelFormat.BAYER_RG8, 4, 3, camera=self.camera)
        replacement = tavisdk.frame.HeapBlock(36)

        def convert(index, frame):
            info = target(frame)
            self.assertNotEqual(info.data, raw.block.address)
            tavisdk._native.heap_free(info.data)
            info.data = replacement.address
            replacement.address = None  # now owned by the converted frame
            info.pixel_format, info.payload_size = PixelFormat.RGB8, 36
            return None

        self.fake.results["RawdataToRgb888"] = convert
        rgb = raw.to_rgb()
        self.assertEqual(rgb.pixels.shape, (3, 4, 3))
        self.assertEqual(rgb.block.address, rgb.info.data)
        self.assertEqual(raw.pixel_format, PixelFormat.BAYER_RG8)
        self.assertEqual(list(raw.raw), list(range(12)))

    def test_paths_reach_the_library_as_bytes(self):
        self.cloud.save_ply("/tmp/cloud é.ply")
        self.assertEqual(self.fake.called("SavePointCloudToPly")[0][2],
                         "/tmp/cloud é.ply".encode())


if __name__ == "__main__":
    unittest.main()
