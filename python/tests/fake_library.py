"""A stand-in for the loaded library: records every flat call and answers from a script."""

import contextlib

from tavisdk import _native


class FakeLibrary:
    """Each flat function records (name, arguments) in `calls` and returns `results[name]`
    (a value, or a function of the arguments), 0 by default."""

    def __init__(self, **results):
        self.calls = []
        self.results = dict(results)
        self.path = "fake"
        self.missing = []

    def __getattr__(self, name):
        if name not in {signature[0] for signature in _native.SIGNATURES}:
            raise AttributeError(name)

        def function(*arguments):
            self.calls.append((name, arguments))
            result = self.results.get(name, 0)
            return result(*arguments) if callable(result) else result

        return function

    def called(self, name):
        """The argument tuples of every call of `name`."""
        return [arguments for called, arguments in self.calls if called == name]


def target(argument):
    """The object a ctypes byref() argument points at."""
    return argument._obj


@contextlib.contextmanager
def installed(fake):
    """Makes `fake` the process's library for the duration."""
    previous = _native._library
    _native._library = fake
    try:
        yield fake
    finally:
        _native._library = previous
