#!/usr/bin/env python3
"""Which pictures copied inside an xrdp session reach a client's desktop.

    python3 bench/session/clipboard-session-picture.py [--sizes KB,KB,...] [--owner xclip|single]
        [--target image/bmp] [--timeout S] [--strace] [NAME=COMMAND ...]

Runs as root. Starts Debian's xrdp the way clipboard-figures.py does (same address,
port, test user and machine lock; the client's desktop an Xvfb on --display), then for
each client (default: the program and xfreerdp +clipboard, one fresh session each) and
each size copies a 24-bit BMP picture of about that many kB in the session (xclip
-t TARGET; or x-selection-owner.c, --owner incr: incrementally with the size in the
INCR property, as toolkits do; --owner single: in one property) and, on the client's
desktop, asks for the
CLIPBOARD's TARGETS and pastes the first picture type offered (image/png, else
image/bmp). One JSON line per size and client: what was offered, the bytes pasted, the
picture's size, the time. The channel server's log of the session (log level DEBUG)
is kept in the run's folder; --strace also records the channel server's system calls
(its reads from the X server and its writes towards xrdp) per copy.
"""

import argparse
import importlib.util
import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import time
import fcntl
import glob
import pwd
import re
import socket

HERE = os.path.dirname(os.path.abspath(__file__))
loader_info = importlib.util.spec_from_file_location("figures", os.path.join(HERE, "clipboard-figures.py"))
figures = importlib.util.module_from_spec(loader_info)
loader_info.loader.exec_module(figures)


def picture(kilobytes):
    """A 24-bit BMP file of about `kilobytes`, 1024 pixels wide, rows of distinct bytes."""
    width = 1024
    stride = width * 3
    height = max(1, kilobytes * 1024 // stride)
    pixels = b"".join(bytes((x * 7 + y * 13) & 0xFF for x in range(stride)) for y in range(min(height, 64)))
    pixels = (pixels * (height // 64 + 1))[:stride * height]
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels, (width, height)


def picture_size(data):
    if data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) >= 24:
        return struct.unpack(">II", data[16:24])
    if data[:2] == b"BM" and len(data) >= 26:
        width, height = struct.unpack("<ii", data[18:26])
        return width, abs(height)
    return None


def client_paste(target, timeout):
    arguments = ["xclip", "-selection", "clipboard", "-o", "-t", target]
    try:
        out = subprocess.run(arguments, capture_output=True, timeout=timeout,
                             env=dict(os.environ, DISPLAY=figures.CLIENT_DISPLAY))
    except subprocess.TimeoutExpired:
        return None
    return out.stdout if out.returncode == 0 else None


def chansrv_pid():
    out = subprocess.run(["pgrep", "-u", figures.USER, "xrdp-chansrv"], capture_output=True, text=True).stdout
    return int(out.split()[0]) if out.split() else None


def run_client(name, command, options, folder):
    home = tempfile.mkdtemp(prefix=f"{name}-home-", dir=folder)
    os.makedirs(f"{home}/.local/share/TerminalServer", exist_ok=True)
    profile = f"{home}/.local/share/TerminalServer/bench.rdp"
    figures.write_profile(profile, home)
    for sub in (".config", ".local/state", "etc-xdg/TerminalServerClient", ".cache", "tmp"):
        os.makedirs(f"{home}/{sub}", exist_ok=True)
    open(f"{home}/etc-xdg/TerminalServerClient/HKEY_LOCAL_MACHINE.reg", "w").write(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TerminalServer]\r\n"
        "\"AskBeforeOpenedFiles\"=dword:00000000\r\n")
    arguments = shlex.split(command.format(host=figures.HOST, port=figures.PORT, profile=profile,
                                           user=figures.USER, password=figures.PASSWORD))
    environment = dict(os.environ, DISPLAY=figures.CLIENT_DISPLAY, HOME=home,
                       XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                       XDG_STATE_HOME=f"{home}/.local/state", XDG_CONFIG_DIRS=f"{home}/etc-xdg",
                       XDG_CACHE_HOME=f"{home}/.cache", TMPDIR=f"{home}/tmp", QT_QPA_PLATFORM="xcb")
    client_log = open(f"{folder}/{name}.log", "wb")
    client = subprocess.Popen(arguments, env=environment, stdout=client_log, stderr=subprocess.STDOUT,
                              start_new_session=True)
    results = []
    try:
        display = figures.wait_for(figures.session_display, 60, step=0.2)
        if not display:
            return [{"client": name, "error": "no user session"}]
        # The clipboard is up when a small text copied in the session pastes here.
        ready = False
        for attempt in range(20):
            token = f"ready {name} {attempt}".encode()
            copy = figures.copy_in_session(display, token, "UTF8_STRING")
            ready = figures.wait_for(lambda: client_paste("UTF8_STRING", 3) == token, 3, step=0.3)
            figures.stop(copy, 2)
            if ready:
                break
        if not ready:
            return [{"client": name, "error": "the clipboard did not come up"}]
        # xclip answers incrementally above a quarter of the session's largest request.
        info = figures.as_user(["xdpyinfo"], display, capture_output=True, text=True).stdout
        match = re.search(r"maximum request size:\s+(\d+) bytes", info)
        largest_request = int(match.group(1)) if match else None
        for kilobytes in options.sizes:
            data, size = picture(kilobytes)
            tracer = None
            if options.strace and chansrv_pid():
                tracer = subprocess.Popen(["strace", "-f", "-tt", "-e", "trace=%network,read,write,readv,writev",
                                           "-e", "abbrev=all", "-s", "0", "-p", str(chansrv_pid()),
                                           "-o", f"{folder}/chansrv-{name}-{kilobytes}kb.strace"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(0.5)
            copy = figures.copy_in_session(display, data, options.target, options.owner)
            started = time.monotonic()
            targets = figures.wait_for(
                lambda: [t for t in (client_paste("TARGETS", 5) or b"").decode(errors="replace").split()
                         if t.startswith("image/")], 10, step=0.3) or []
            pasted = None
            for target in ("image/png", "image/bmp"):
                if target in targets:
                    pasted = client_paste(target, options.timeout)
                    break
            elapsed = (time.monotonic() - started) * 1000
            figures.stop(copy, 2)
            if tracer:
                figures.stop(tracer, 2)
            result = {"client": name, "kb": kilobytes, "bmp_bytes": len(data), "picture": "x".join(map(str, size)),
                      "owner": options.owner, "offered": targets, "pasted_bytes": len(pasted or b""),
                      "pasted_picture": "x".join(map(str, picture_size(pasted or b"") or ())),
                      "ms": round(elapsed), "session_largest_request": largest_request}
            result["arrived"] = picture_size(pasted or b"") == size
            figures.log(json.dumps(result))
            results.append(result)
        return results
    finally:
        figures.stop(client)
        client_log.close()
        for log in glob.glob(f"{pwd.getpwnam(figures.USER).pw_dir}/.local/share/xrdp/xrdp-chansrv.*.log"):
            subprocess.run(["cp", log, f"{folder}/{name}-{os.path.basename(log)}"])
            os.unlink(log)
        figures.end_user_session()
        figures.wait_for(lambda: figures.session_display() is None, 10)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="64,1020,1030,3072", help="kB of the pictures, in order")
    parser.add_argument("--owner", choices=("xclip", "single", "incr"), default="xclip")
    parser.add_argument("--target", default="image/bmp")
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--display", default=":281")
    parser.add_argument("--strace", action="store_true")
    parser.add_argument("-o", "--output", default=None)
    parser.add_argument("clients", nargs="*")
    options = parser.parse_args()
    options.sizes = [int(v) for v in options.sizes.split(",")]
    figures.CLIENT_DISPLAY = options.display
    program = os.environ.get("TSC_PROGRAM", f"{figures.ROOT}/build-rel/src/shell/tsvLinux-x86_64client")
    clients = options.clients or [
        f"ours={program} {{profile}}",
        "xfreerdp=xfreerdp /v:{host}:{port} /u:{user} /p:{password} /cert:ignore /size:1024x768 "
        "/bpp:24 +clipboard -wallpaper /sound:sys:fake",
    ]
    clients = [tuple(c.split("=", 1)) for c in clients]
    lock = open(figures.LOCK, "a")
    figures.log("waiting for", figures.LOCK)
    fcntl.flock(lock, fcntl.LOCK_EX)
    folder = tempfile.mkdtemp(prefix="clipboard-session-picture-")
    os.chmod(folder, 0o755)
    processes = []
    try:
        figures.ensure_user()
        os.makedirs("/run/xrdp/sockdir", exist_ok=True)
        os.chmod("/run/xrdp/sockdir", 0o3777)
        figures.write_configuration(folder)
        sesman = open(f"{folder}/sesman.ini").read()
        sesman = re.sub(r"(?m)^(\[ChansrvLogging\][^\[]*?)^LogLevel=.*$", r"\1LogLevel=DEBUG", sesman)
        sesman = re.sub(r"(?m)^(\[ChansrvLogging\][^\[]*?)^EnableSyslog=.*$", r"\1EnableSyslog=false", sesman)
        open(f"{folder}/sesman.ini", "w").write(sesman)
        figures.end_user_session()
        processes.append(subprocess.Popen(["Xvfb", figures.CLIENT_DISPLAY, "-screen", "0", "1280x1024x24",
                                           "-nolisten", "tcp", "-noreset"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        out = open(f"{folder}/server.out", "wb")
        processes.append(subprocess.Popen(["/usr/sbin/xrdp-sesman", "--nodaemon", "--config",
                                           f"{folder}/sesman.ini"], stdout=out, stderr=subprocess.STDOUT))
        processes.append(subprocess.Popen(["/usr/sbin/xrdp", "--nodaemon", "--config", f"{folder}/xrdp.ini"],
                                          stdout=out, stderr=subprocess.STDOUT))

        def listening():
            with socket.socket() as s:
                s.settimeout(0.2)
                return s.connect_ex((figures.HOST, figures.PORT)) == 0

        if not figures.wait_for(listening, 10):
            sys.exit("xrdp does not listen")
        output = open(options.output, "a") if options.output else None
        for name, command in clients:
            for result in run_client(name, command, options, folder):
                result["when"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
                print(json.dumps(result), flush=True)
                if output:
                    output.write(json.dumps(result) + "\n")
                    output.flush()
        figures.log("logs in", folder)
    finally:
        figures.end_user_session()
        for process in reversed(processes):
            figures.stop(process)
        lock.close()


if __name__ == "__main__":
    main()
