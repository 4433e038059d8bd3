#!/usr/bin/env python3
"""Helper of text-screen.sh (python3 stdlib, libX11 through ctypes).

  term listing|grid CTRL   the program shown in one xterm: coloured output that
                           scrolls (listing) or a spreadsheet-like grid that is
                           redrawn (grid) from CTRL/go until CTRL/stop, then a
                           fixed final screen; CTRL/ready-NAME and CTRL/done-NAME
                           mark the steps
  firstframe               wait until the client screen shows the session: a
                           flat, non-black spot of the server screen near its
                           centre appears (within --tol) at the same place
  static                   wait until the server screen stops changing, then
                           grab both screens --at seconds after its last change
                           and compare them; print JSON fields
  summary FILE             median (min-max) table per label of a JSON-lines file
"""
import argparse
import ctypes
import ctypes.util
import json
import os
import random
import signal
import statistics
import struct
import sys
import time
import zlib

# ---------------------------------------------------------------- libX11 ----
_x = None


class XImage(ctypes.Structure):  # leading fields only; we never allocate one
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int),
                ("xoffset", ctypes.c_int), ("format", ctypes.c_int),
                ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


def _load_x11():
    global _x
    if _x:
        return
    _x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    vp, ul, i, u = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
    for name, res, args in [
            ("XOpenDisplay", vp, [ctypes.c_char_p]),
            ("XDefaultScreen", i, [vp]),
            ("XRootWindow", ul, [vp, i]),
            ("XDisplayWidth", i, [vp, i]),
            ("XDisplayHeight", i, [vp, i]),
            ("XDefaultDepth", i, [vp, i]),
            ("XGetImage", ctypes.POINTER(XImage), [vp, ul, i, i, u, u, ul, i]),
            ("XDestroyImage", i, [ctypes.POINTER(XImage)])]:
        fn = getattr(_x, name)
        fn.restype, fn.argtypes = res, args


class Screen:
    """The root window of one X display, read as 0xRRGGBB integers."""

    def __init__(self, name):
        _load_x11()
        self.dpy = _x.XOpenDisplay(name.encode())
        if not self.dpy:
            sys.exit("text-screen: cannot open display %s" % name)
        s = _x.XDefaultScreen(self.dpy)
        self.root = _x.XRootWindow(self.dpy, s)
        self.w, self.h = _x.XDisplayWidth(self.dpy, s), _x.XDisplayHeight(self.dpy, s)
        if _x.XDefaultDepth(self.dpy, s) != 24:
            sys.exit("text-screen: needs a depth-24 screen")

    def grab(self, x=0, y=0, w=None, h=None):
        """Pixels of a rectangle, row by row, as a list of 0xRRGGBB."""
        w, h = w or self.w, h or self.h
        img = _x.XGetImage(self.dpy, self.root, x, y, w, h, (1 << 64) - 1, 2)
        if not img:
            sys.exit("text-screen: XGetImage failed")
        im = img.contents
        if im.bits_per_pixel != 32 or im.byte_order != 0 or im.bytes_per_line != 4 * w:
            sys.exit("text-screen: expected a packed 32 bpp LSBFirst image")
        data = bytearray(ctypes.string_at(im.data, 4 * w * h))
        _x.XDestroyImage(img)
        data[3::4] = bytes(w * h)          # the padding byte is undefined
        return memoryview(data).cast("I").tolist()


def close(a, b, tol):
    return (abs((a >> 16) - (b >> 16)) <= tol and abs((a >> 8 & 255) - (b >> 8 & 255)) <= tol
            and abs((a & 255) - (b & 255)) <= tol)


def write_png(path, w, h, px):
    rows = bytearray()
    for y in range(h):
        rows.append(0)
        for p in px[y * w:(y + 1) * w]:
            rows += bytes((p >> 16, p >> 8 & 255, p & 255))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))


# ------------------------------------------------------- the text screen ----
ESC = "\x1b["
NAMES = ["src", "include", "docs", "build", "tests", "scripts", "assets", "vendor",
         "config", "tools", "locale", "packaging", "bench", "cmake", "examples"]
EXTS = [(".cpp", "0"), (".h", "0"), (".sh", "1;32"), (".tar.gz", "1;31"),
        (".png", "1;35"), (".md", "0"), (".log", "90"), (".so", "1;36")]
LEVELS = [("INFO ", "32"), ("DEBUG", "90"), ("WARN ", "1;33"), ("ERROR", "1;97;41"),
          ("TRACE", "36"), ("INFO ", "32"), ("NOTE ", "1;34")]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def listing_line(rng, n):
    """One line of coloured terminal output (at most 62 columns): a long
    directory listing entry or a log line, chosen by the random source."""
    k = rng.random()
    if k < 0.55:
        name = rng.choice(NAMES)
        size = rng.randrange(0, 9_999_999)
        when = "%s %2d %02d:%02d" % (rng.choice(MONTHS), rng.randrange(1, 29),
                                     rng.randrange(24), rng.randrange(60))
        if rng.random() < 0.3:
            mode, name, col = "drwxr-xr-x", name + "/", "1;34"
        elif rng.random() < 0.15:
            mode, col = "lrwxrwxrwx", "1;36"
            name = "%s -> %s" % (name, rng.choice(NAMES))
        else:
            ext, col = rng.choice(EXTS)
            mode = "-rwxr-xr-x" if ext == ".sh" else "-rw-r--r--"
            name = "%s_%d%s" % (name, rng.randrange(100), ext)
        owner = rng.choice(["dev", "build", "www", "root"])
        return ("%s %s33m%-5s%s0m %8d %s %s%sm%s%s0m"
                % (mode, ESC, owner, ESC, size, when, ESC, col, name[:22], ESC))
    level, col = rng.choice(LEVELS)
    msg = rng.choice(["connection accepted from 10.0.%d.%d" % (rng.randrange(256), rng.randrange(256)),
                      "cache hit ratio %.2f%%" % (rng.random() * 100),
                      "request %06d took %d ms" % (n, rng.randrange(2000)),
                      "retrying upload (%d/5)" % rng.randrange(1, 6),
                      "checksum mismatch in block %d" % rng.randrange(1 << 16),
                      "worker %d idle" % rng.randrange(32)])
    return ("%s90m%02d:%02d:%02d.%03d%s0m %s%sm%s%s0m %s36m%-7s%s0m %s"
            % (ESC, n // 3600 % 24, n // 60 % 60, n % 60, n % 1000, ESC, ESC, col, level, ESC,
               ESC, rng.choice(["net", "store", "auth", "sched", "io"]), ESC, msg[:35]))


GRID_COLS = 6
CELL = 8


def grid_screen(rng, rows, stamp):
    """A spreadsheet-like grid: a header, row numbers, cells with coloured
    backgrounds (by value), box-drawing grid lines. One string, drawn from the
    top-left corner."""
    def hline(l, m, r):
        return "%s37m%s%s%s%s0m" % (ESC, l, "───", (m + "─" * CELL) * GRID_COLS, ESC) + r_(r)

    def r_(r):
        return "%s37m%s%s0m" % (ESC, r, ESC)
    bar = "%s37m│%s0m" % (ESC, ESC)
    out = [ESC + "H" + ESC + "1;97;44m %-59s%s0m" % ("Quarterly figures  " + stamp, ESC) + ESC + "K",
           hline("┌", "┬", "┐"),
           bar + "%s1;30;47m   %s0m" % (ESC, ESC) + "".join(
               bar + "%s1;30;47m%s%s0m" % (ESC, ("  %s" % chr(65 + c)).ljust(CELL), ESC)
               for c in range(GRID_COLS)) + bar,
           hline("├", "┼", "┤")]
    r = 1
    while len(out) < rows - 1:
        if r % 6 == 0:
            out.append(hline("├", "┼", "┤"))
        else:
            cells = []
            for c in range(GRID_COLS):
                v = rng.randrange(-9999, 99999) / 10
                if c == GRID_COLS - 1:
                    col = "1;97;45"
                elif v < 0:
                    col = "1;91;40" if r % 2 else "97;41"
                elif v > 5000:
                    col = "30;102" if r % 2 else "30;42"
                elif v > 1000:
                    col = "30;103" if c % 2 else "30;46"
                else:
                    col = "37;40" if r % 2 else "97;100"
                cells.append("%s%sm%8.1f%s0m" % (ESC, col, v, ESC))
            out.append(bar + "%s1;33m%3d%s0m" % (ESC, r, ESC) + "".join(bar + c for c in cells) + bar)
        r += 1
    out.append(hline("└", "┴", "┘"))
    return "\r\n".join(out)


def cmd_term(a):
    """Runs in the xterm. Timing of the motion: listing 2 lines / 50 ms,
    grid redrawn every 200 ms."""
    out = sys.stdout
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    rows = os.get_terminal_size().lines

    def mark(name):
        open(os.path.join(a.ctrl, "%s-%s" % (name, a.which)), "w").close()

    def flag(name):
        return os.path.exists(os.path.join(a.ctrl, name))
    out.write(ESC + "?25l" + ESC + "2J" + ESC + "H")          # no cursor, clear
    if a.which == "grid":
        out.write(grid_screen(random.Random(1), rows, "(waiting)"))
    else:
        rng = random.Random(1)
        out.write("\r\n".join(listing_line(rng, i) for i in range(rows)))
    out.flush()
    mark("ready")
    while not flag("go"):
        time.sleep(0.02)
    rng, n, t = random.Random(2), 0, time.time()
    while not flag("stop"):
        if a.which == "grid":
            out.write(grid_screen(rng, rows, "tick %d" % n))
            period = 0.2
        else:
            out.write("\r\n" + listing_line(rng, n) + "\r\n" + listing_line(rng, n + 1))
            period = 0.05
        out.flush()
        n += 1
        t += period
        time.sleep(max(0.0, t - time.time()))
    # the final screen: the same every run
    rng = random.Random(3)
    out.write(ESC + "0m" + ESC + "2J" + ESC + "H")
    if a.which == "grid":
        out.write(grid_screen(rng, rows, "(final)"))
    else:
        out.write("\r\n".join(listing_line(rng, 5000 + i) for i in range(rows)))
    out.flush()
    mark("done")
    while True:
        signal.pause()


# ----------------------------------------------------------- measuring ----
def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(") ", 1)[1][0] != "Z"
    except (OSError, IndexError):
        return False


def cmd_firstframe(a):
    srv, cli = Screen(a.server), Screen(a.client)
    s = srv.grab()
    w, h = srv.w, srv.h
    spot = None
    for r in range(0, min(w, h) // 2 - 8, 2):       # rings around the centre
        for dy in range(-r, r + 1, 2):
            for dx in (range(-r, r + 1, 2) if abs(dy) == r else (-r, r)):
                x, y = w // 2 + dx, h // 2 + dy
                c = s[y * w + x]
                if ((c >> 16) + (c >> 8 & 255) + (c & 255) > 120 and c != 0xFF00FF and
                        all(s[(y + j) * w + x + i] == c for j in range(-4, 5) for i in range(-4, 5))):
                    spot = x, y, c
                    break
            if spot:
                break
        if spot:
            break
    if not spot:
        print("no flat spot on the server screen")
        return 1
    x, y, want = spot
    end = time.time() + a.timeout
    while True:
        now = time.time()
        c = cli.grab(x, y, 1, 1)[0]
        if close(c, want, a.tol):
            print("%.6f %d,%d %06x" % (now, x, y, want))
            return 0
        if now > end:
            print("timeout: client %06x at %d,%d, server %06x" % (c, x, y, want))
            return 1
        if a.pid and not alive(a.pid):
            print("client ended, client %06x at %d,%d" % (c, x, y))
            return 1
        time.sleep(0.005)


def compare(s, c, w, h, y0, tol):
    """Figures over the rows y0..h-1 of two same-sized screens. Text pixels:
    server pixels that differ from their left or their upper neighbour (the
    edges of glyphs and grid lines; flat backgrounds are not text)."""
    exact = near = text = text_exact = text_near = 0
    for y in range(y0, h):
        base = y * w
        for x in range(w):
            i = base + x
            a, b = s[i], c[i]
            is_text = (x and a != s[i - 1]) or (y and a != s[i - w])
            if a == b:
                exact += 1
                near += 1
                if is_text:
                    text += 1
                    text_exact += 1
                    text_near += 1
                continue
            ok = close(a, b, tol)
            near += ok
            if is_text:
                text += 1
                text_near += ok
    total = w * (h - y0)
    return {"exact_px": exact, "near_px": near, "exact_share": round(exact / total, 5),
            "near_share": round(near / total, 5), "text_px": text,
            "text_exact_px": text_exact, "text_exact_share": round(text_exact / max(text, 1), 5),
            "text_near_share": round(text_near / max(text, 1), 5)}


def cmd_static(a):
    srv, cli = Screen(a.server), Screen(a.client)
    if (srv.w, srv.h) != (cli.w, cli.h):
        sys.exit("text-screen: the two screens differ in size")
    # last change: the last grab that differed from the one before; stable
    # once unchanged for --quiet seconds
    end = time.time() + a.timeout
    prev, last = srv.grab(), time.time()
    while True:
        time.sleep(0.02)
        cur, now = srv.grab(), time.time()
        if cur != prev:
            prev, last = cur, now
        elif now - last >= a.quiet:
            break
        if now > end:
            print(json.dumps({"failed": True, "reason": "the server screen did not stop changing"}))
            return 1
    r = {"region": "x 0..%d, y %d..%d" % (srv.w - 1, a.y0, srv.h - 1),
         "total_px": srv.w * (srv.h - a.y0), "tol": a.tol,
         "static_s": round(last - a.since, 3) if a.since else None}
    grabs = []
    for at in a.at:
        time.sleep(max(0.0, last + at - time.time()))
        t = time.time()
        grabs.append((at, srv.grab(), cli.grab(), round(t - last, 3)))
    for at, s, c, took in grabs:
        tag = "_%gs" % at
        r["grab_at" + tag] = took
        r["server_unchanged" + tag] = s == prev
        for k, v in compare(s, c, srv.w, srv.h, a.y0, a.tol).items():
            r[k + tag] = v
    if a.png:
        at, s, c, _ = grabs[0]
        write_png(a.png + "-server.png", srv.w, srv.h, s)
        write_png(a.png + "-client.png", srv.w, srv.h, c)
        # white where the client differs beyond tol, grey where only slightly
        write_png(a.png + "-diff.png", srv.w, srv.h,
                  [0 if p == q else (0x808080 if close(p, q, a.tol) else 0xFFFFFF)
                   for p, q in zip(s, c)])
    print(json.dumps(r))
    return 0


def cmd_summary(a):
    by = {}
    with open(a.file) as f:
        for line in f:
            if line.strip():
                r = json.loads(line)
                by.setdefault(r["label"], []).append(r)
    cols = [("exact_share_1s", "exact 1 s", 100), ("text_exact_share_1s", "text exact 1 s", 100),
            ("text_near_share_1s", "text near 1 s", 100),
            ("exact_share_3s", "exact 3 s", 100), ("text_exact_share_3s", "text exact 3 s", 100),
            ("client_cpu_s", "client CPU s", 1), ("client_xvfb_cpu_s", "client Xvfb CPU s", 1),
            ("rx_mbit_s", "rx Mbit/s", 1)]
    print("| label | runs | " + " | ".join(c[1] + (" %" if c[2] == 100 else "") for c in cols) + " |")
    print("|---" * (len(cols) + 2) + "|")
    for label, rs in by.items():
        ok = [r for r in rs if not r.get("failed")]
        cells = []
        for key, _, scale in cols:
            v = [r[key] * scale for r in ok if r.get(key) is not None]
            cells.append("%.2f (%.2f–%.2f)" % (statistics.median(v), min(v), max(v)) if v else "–")
        runs = "%d" % len(ok) + (" (+%d failed)" % (len(rs) - len(ok)) if len(rs) > len(ok) else "")
        print("| %s | %s | %s |" % (label, runs, " | ".join(cells)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    t = sub.add_parser("term")
    t.add_argument("which", choices=["listing", "grid"])
    t.add_argument("ctrl")
    for name in ("firstframe", "static"):
        q = sub.add_parser(name)
        q.add_argument("--server", required=True)
        q.add_argument("--client", required=True)
        q.add_argument("--timeout", type=float, default=30)
        q.add_argument("--tol", type=int, default=16)
    sub.choices["firstframe"].add_argument("--pid", type=int)
    st = sub.choices["static"]
    st.add_argument("--y0", type=int, default=40, help="first row compared")
    st.add_argument("--at", type=lambda v: [float(x) for x in v.split(",")], default=[1.0, 3.0])
    st.add_argument("--quiet", type=float, default=0.5,
                    help="seconds without change that make the server screen static")
    st.add_argument("--since", type=float, help="time of the stop, for static_s")
    st.add_argument("--png", help="write PREFIX-server/-client/-diff.png of the first grab")
    sm = sub.add_parser("summary")
    sm.add_argument("file")
    a = p.parse_args()
    return {"term": cmd_term, "firstframe": cmd_firstframe, "static": cmd_static,
            "summary": cmd_summary}[a.cmd](a) or 0


if __name__ == "__main__":
    sys.exit(main())
