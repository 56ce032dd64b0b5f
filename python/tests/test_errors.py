import unittest

from tavisdk import InvalidArgument, Result, TaviError, result_name
from tavisdk.errors import check, check_value, check_wide_value


class ResultNames(unittest.TestCase):
    def test_library_codes_have_their_names(self):
        self.assertEqual(result_name(-99), "FLAT_NO_CAMERA")
        self.assertEqual(result_name(-34), "NO_FRAME")
        self.assertEqual(result_name(0), "OK")

    def test_camera_statuses_are_named_as_returned_and_sign_extended(self):
        self.assertEqual(result_name(0x8006), "GEV_STATUS_ACCESS_DENIED")
        self.assertEqual(result_name(0x8006 - 0x10000), "GEV_STATUS_ACCESS_DENIED")
        self.assertEqual(result_name(0x8123), "GEV_STATUS_0x8123")

    def test_other_codes_are_unknown(self):
        self.assertEqual(result_name(-7777), "UNKNOWN")
        self.assertEqual(result_name(0x12345), "UNKNOWN")


class Raising(unittest.TestCase):
    def test_the_exception_carries_code_name_and_function(self):
        with self.assertRaises(TaviError) as caught:
            check(-11, "SetExposureTime")
        self.assertEqual(caught.exception.code, -11)
        self.assertEqual(caught.exception.name, "NOT_CONNECTED")
        self.assertEqual(caught.exception.function, "SetExposureTime")
        self.assertIn("NOT_CONNECTED (-11)", str(caught.exception))

    def test_a_positive_device_status_is_a_failure_of_a_setter(self):
        with self.assertRaises(TaviError) as caught:
            check(0x8006, "WriteRegister")
        self.assertEqual(caught.exception.name, "GEV_STATUS_ACCESS_DENIED")

    def test_getters_raise_only_on_negative_values(self):
        self.assertEqual(check_value(1280, "GetExposureTime"), 1280)
        self.assertEqual(check_value(0, "GetExposureTime"), 0)
        with self.assertRaises(TaviError):
            check_value(-17, "GetGain")

    def test_a_missing_camera_widened_to_64_bits_is_minus_99(self):
        with self.assertRaises(TaviError) as caught:
            check_wide_value(0xFFFFFFFFFFFFFF9D, "GetTimestampTickFrequency")
        self.assertEqual(caught.exception.code, Result.FLAT_NO_CAMERA)
        self.assertEqual(check_wide_value(4294967296, "GetTimestampTickFrequency"), 4294967296)

    def test_argument_refusals_are_value_errors_with_the_invalid_argument_code(self):
        error = InvalidArgument("Frame.pixels", "too short")
        self.assertIsInstance(error, ValueError)
        self.assertEqual(error.code, -2)
        self.assertEqual(error.name, "INVALID_ARGUMENT")


if __name__ == "__main__":
    unittest.main()
