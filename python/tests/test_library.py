import unittest

from tavisdk import _native


class BuiltLibrary(unittest.TestCase):
    def test_every_flat_function_the_package_calls_is_exported(self):
        try:
            library = _native.load()
        except OSError as error:
            self.skipTest(str(error))  # a source tree without a build
        self.assertEqual(library.missing, [])
        self.assertEqual(len({name for name, _, _ in _native.SIGNATURES}), 100)


class Loading(unittest.TestCase):
    def test_a_library_that_is_not_there_is_named_in_the_error(self):
        with self.assertRaises(OSError) as caught:
            _native.load(["/nonexistent/libTaviSDK.so.1"])
        self.assertIn("/nonexistent/libTaviSDK.so.1", str(caught.exception))
        self.assertIn(_native.LIBRARY_ENVIRONMENT, str(caught.exception))

    def test_missing_functions_raise_when_called(self):
        function = _native.MissingFunction("Capture", "old.so")
        with self.assertRaises(NotImplementedError):
            function(0, 0, None)


if __name__ == "__main__":
    unittest.main()
