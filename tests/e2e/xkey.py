#!/usr/bin/env python3
"""Presses and releases one key in the window that has the keyboard focus, through the XTEST
extension as a real keyboard would, and prints the monotonic time (seconds) at which the X
server had taken the press. Usage: xkey.py KEYSYM (e.g. F11, Return)."""
import ctypes
import ctypes.util
import sys
import time


def load(name, fallback):
    return ctypes.cdll.LoadLibrary(ctypes.util.find_library(name) or fallback)


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    x11 = load("X11", "libX11.so.6")
    xtst = load("Xtst", "libXtst.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XStringToKeysym.restype = ctypes.c_ulong
    x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.restype = ctypes.c_ubyte
    x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                       ctypes.c_ulong]

    display = x11.XOpenDisplay(None)
    if not display:
        print("xkey: cannot open the display", file=sys.stderr)
        return 1
    keycode = x11.XKeysymToKeycode(display, x11.XStringToKeysym(sys.argv[1].encode()))
    if keycode == 0:
        print(f"xkey: no key for {sys.argv[1]!r}", file=sys.stderr)
        return 2
    xtst.XTestFakeKeyEvent(display, keycode, 1, 0)
    x11.XSync(display, 0)
    pressed = time.monotonic()
    xtst.XTestFakeKeyEvent(display, keycode, 0, 0)
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)
    print(f"{pressed:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
