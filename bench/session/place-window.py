#!/usr/bin/env python3
"""Moves the first shown top-level window of WIDTHxHEIGHT on $DISPLAY (no window
manager) to X,Y and gives it a new size, as a user's resize would; for the smart
sizing figures (smart-sizing.sh). libX11 through ctypes, nothing else.

  place-window.py FROM_WxH X Y WxH [TIMEOUT_S]
"""
import ctypes
import ctypes.util
import sys
import time

x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
vp, ul, i, u = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint


class Attributes(ctypes.Structure):  # XWindowAttributes
    _fields_ = [("x", i), ("y", i), ("width", i), ("height", i), ("border_width", i), ("depth", i),
                ("visual", vp), ("root", ul), ("c_class", i), ("bit_gravity", i), ("win_gravity", i),
                ("backing_store", i), ("backing_planes", ul), ("backing_pixel", ul), ("save_under", i),
                ("colormap", ul), ("map_installed", i), ("map_state", i), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", i), ("screen", vp)]


for name, res, args in [
        ("XOpenDisplay", vp, [ctypes.c_char_p]),
        ("XDefaultRootWindow", ul, [vp]),
        ("XQueryTree", i, [vp, ul, ctypes.POINTER(ul), ctypes.POINTER(ul), ctypes.POINTER(ctypes.POINTER(ul)),
                           ctypes.POINTER(u)]),
        ("XGetWindowAttributes", i, [vp, ul, ctypes.POINTER(Attributes)]),
        ("XMoveResizeWindow", i, [vp, ul, i, i, u, u]),
        ("XFree", i, [vp]),
        ("XSync", i, [vp, i])]:
    fn = getattr(x, name)
    fn.restype, fn.argtypes = res, args

VIEWABLE = 2


def size(text):
    w, h = text.split("x")
    return int(w), int(h)


def main():
    frm, left, top, to = size(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), size(sys.argv[4])
    deadline = time.time() + (float(sys.argv[5]) if len(sys.argv) > 5 else 15)
    dpy = x.XOpenDisplay(None)
    if not dpy:
        sys.exit("no display")
    root = x.XDefaultRootWindow(dpy)
    while time.time() < deadline:
        r, p, children, count = ul(), ul(), ctypes.POINTER(ul)(), u()
        if x.XQueryTree(dpy, root, ctypes.byref(r), ctypes.byref(p), ctypes.byref(children), ctypes.byref(count)):
            found = None
            for k in range(count.value):
                a = Attributes()
                if (x.XGetWindowAttributes(dpy, children[k], ctypes.byref(a)) and a.map_state == VIEWABLE
                        and (a.width, a.height) == frm):
                    found = children[k]
            if children:
                x.XFree(children)
            if found:
                x.XMoveResizeWindow(dpy, found, left, top, to[0], to[1])
                x.XSync(dpy, 0)
                return
        time.sleep(0.02)
    sys.exit("no window of %dx%d" % frm)


main()
