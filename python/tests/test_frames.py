import gc
import unittest

import numpy as np

from tavisdk import Frame, InvalidArgument, PixelFormat, bytes_per_pixel


def frame_of(pixel_format, width, height, payload=None):
    size = width * height * bytes_per_pixel(pixel_format) if payload is None else payload
    data = (np.arange(size) % 251).astype(np.uint8)
    return Frame.from_bytes(data, pixel_format, width, height)


class PixelViews(unittest.TestCase):
    def test_each_format_has_its_shape_type_and_strides(self):
        cases = [
            (PixelFormat.MONO8, (4, 6), "u1", (6, 1)),
            (PixelFormat.MONO8S, (4, 6), "i1", (6, 1)),
            (PixelFormat.BAYER_RG8, (4, 6), "u1", (6, 1)),
            (PixelFormat.BAYER_RG10, (4, 6), "<u2", (12, 2)),
            (PixelFormat.RGB565P, (4, 6), "<u2", (12, 2)),
            (PixelFormat.YUV422_8, (4, 6, 2), "u1", (12, 2, 1)),
            (PixelFormat.RGB8, (4, 6, 3), "u1", (18, 3, 1)),
            (PixelFormat.COORD3D_ABC16_PLANAR, (3, 4, 6), "<u2", (48, 12, 2)),
        ]
        for pixel_format, shape, dtype, strides in cases:
            with self.subTest(pixel_format.name):
                pixels = frame_of(pixel_format, 6, 4).pixels
                self.assertEqual(pixels.shape, shape)
                self.assertEqual(pixels.dtype, np.dtype(dtype))
                self.assertEqual(pixels.strides, strides)

    def test_raw_points_decode_signed_x_and_y_and_unsigned_z(self):
        record = bytes([0xFF, 0xFF, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF])
        points = Frame.from_bytes(record, PixelFormat.COORD3D_ABC16, 2, 1).pixels
        self.assertEqual(points.shape, (1, 2))
        self.assertEqual(points.strides, (12, 6))
        self.assertEqual((points["x"][0, 0], points["y"][0, 0], points["z"][0, 0]), (-1, 1, 10))
        self.assertEqual((points["x"][0, 1], points["y"][0, 1], points["z"][0, 1]),
                         (-32768, 32767, 65535))

    def test_pixels_are_a_view_of_the_frame_buffer(self):
        frame = frame_of(PixelFormat.RGB8, 6, 4)
        pixels = frame.pixels
        pixels[1, 2] = (7, 8, 9)
        offset = (1 * 6 + 2) * 3
        self.assertEqual(list(frame.raw[offset:offset + 3]), [7, 8, 9])
        self.assertEqual(pixels.__array_interface__["data"][0], frame.block.address)

    def test_a_view_keeps_the_buffer_alive_after_its_frame_is_gone(self):
        frame = frame_of(PixelFormat.MONO8, 8, 8)
        pixels = frame.pixels
        expected = pixels.copy()
        del frame
        gc.collect()
        np.testing.assert_array_equal(pixels, expected)

    def test_a_payload_shorter_than_the_frame_is_refused(self):
        frame = frame_of(PixelFormat.RGB8, 6, 4, payload=6 * 4 * 3 - 1)
        with self.assertRaises(InvalidArgument):
            frame.pixels

    def test_a_payload_size_beyond_the_block_is_clamped_to_the_block(self):
        frame = frame_of(PixelFormat.MONO8, 6, 4)
        frame.info.payload_size = 1 << 30
        self.assertEqual(frame.payload_size, 24)
        self.assertEqual(frame.raw.size, 24)

    def test_an_unknown_format_has_no_pixels(self):
        frame = Frame.from_bytes(b"\0" * 16, 0xDEADBEEF, 4, 4)
        with self.assertRaises(ValueError):
            frame.pixels
        self.assertEqual(frame.raw.size, 16)

    def test_a_copy_has_its_own_buffer_and_the_same_record(self):
        frame = frame_of(PixelFormat.MONO8, 6, 4)
        frame.info.block_id = 77
        copy = frame.copy(capacity=6 * 4 * 3)
        self.assertNotEqual(copy.block.address, frame.block.address)
        self.assertEqual(copy.info.data, copy.block.address)
        self.assertEqual(copy.block.size, 72)
        self.assertEqual(copy.block_id, 77)
        copy.pixels[0, 0] = 200
        self.assertNotEqual(frame.pixels[0, 0], 200)
        np.testing.assert_array_equal(copy.pixels[1:], frame.pixels[1:])

    def test_the_timestamp_joins_its_two_halves(self):
        frame = frame_of(PixelFormat.MONO8, 2, 2)
        frame.info.timestamp_high = 1
        frame.info.timestamp_low = 5
        self.assertEqual(frame.timestamp, (1 << 32) + 5)


if __name__ == "__main__":
    unittest.main()
