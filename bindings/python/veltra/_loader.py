"""Finds and loads the VELTRA library the first time a function is called.

Where it looks, in order: the file named by the environment variable
VELTRA_LIBRARY; a copy beside this package (a wheel may carry one); then the
platform's own search for libveltra.so.1 / libveltra.so (LD_LIBRARY_PATH,
the linker cache, /usr/lib) or VELTRA.dll (the DLL search path).
"""
import ctypes
import ctypes.util
import os
import struct
import sys

# Names by the platform's rules: the runtime name first, then the
# development link a source build leaves beside it.
if sys.platform == "win32":
    NAMES = ("VELTRA.dll",)
elif sys.platform == "darwin":
    NAMES = ("libveltra.dylib",)
else:
    NAMES = ("libveltra.so.1", "libveltra.so")


def _loader_class():
    # Only 32-bit Windows has a second convention: there every export is
    # __stdcall. Everywhere else one C convention serves.
    if sys.platform == "win32" and struct.calcsize("P") == 4:
        return ctypes.WinDLL
    return ctypes.CDLL


def candidates():
    """The paths and names tried, in order."""
    found = []
    env = os.environ.get("VELTRA_LIBRARY")
    if env:
        found.append(env)
    here = os.path.dirname(os.path.abspath(__file__))
    found += [os.path.join(here, n) for n in NAMES if os.path.exists(os.path.join(here, n))]
    found += list(NAMES)
    util = ctypes.util.find_library("veltra")
    if util and util not in found:
        found.append(util)
    return found


def load():
    """Loads the library, or raises OSError naming every place tried."""
    cls = _loader_class()
    errors = []
    env = os.environ.get("VELTRA_LIBRARY")
    for c in candidates():
        try:
            return cls(c)
        except OSError as e:
            errors.append(f"{c}: {e}")
            if env and c == env:
                # A library named on purpose that does not load is an error
                # of its own: do not quietly take another one.
                break
    raise OSError("VELTRA library not found (set VELTRA_LIBRARY to its path); tried:\n  "
                  + "\n  ".join(errors))


class Library:
    """The loaded library with every export declared, loaded on first use."""

    def __init__(self, prototypes):
        self._prototypes = prototypes
        self._dll = None

    def dll(self):
        if self._dll is None:
            dll = load()
            for name, (restype, argtypes) in self._prototypes.items():
                f = getattr(dll, name)
                f.restype = restype
                f.argtypes = argtypes
            self._dll = dll
        return self._dll

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self.dll(), name)

    def text_list(self, name):
        """An exported NULL-terminated array of texts, as a list of bytes."""
        entry = ctypes.c_char_p.in_dll(self.dll(), name)
        array = ctypes.cast(ctypes.byref(entry), ctypes.POINTER(ctypes.c_char_p))
        out = []
        while array[len(out)] is not None:
            out.append(array[len(out)])
        return out
