#!/usr/bin/env python3
"""Clipboard figures: local copy to paste inside the session, against xrdp.

    sudo python3 bench/session/clipboard-figures.py [-n RUNS] [-o FILE.jsonl] NAME=COMMAND ...

Starts Debian's xrdp and its session manager on 127.28.2.2:33930 (the distribution's
configuration, logging the test user straight into an Xorg session) and an Xvfb as
the client's desktop (:291). Runs the clients interleaved (A B A B ...), each run a
fresh connection and a fresh user session, and measures in each run:

  text_ms     a local program copies 1 MB of text (xclip on the client's desktop)
              until a program inside the session has pasted all of it
  picture_ms  the same for a 10 MB picture (a 1920x1820 24-bit BMP, image/bmp)
  text_peak_kb / picture_peak_kb
              the client's peak resident memory during that copy and paste above
              its resident memory just before it (VmHWM reset through clear_refs)
  picture_back_ms / picture_back_peak_kb (--back)
              the picture the other way: copied in the session (image/bmp), pasted
              here as image/png
  text_back_ms / text_back_peak_kb (--text-back)
              the text the other way: copied in the session (x-selection-owner.c,
              incrementally as the toolkits do), pasted here

COMMAND is run with DISPLAY set to the client's desktop and a throw-away home;
{host}, {port}, {user}, {password} and {profile} are replaced (the profile: a windowed
1024x768 connection as the test user, its password saved as the program saves it).
Default clients: "ours" (the release build's program, TSC_PROGRAM) and "xfreerdp"
(xfreerdp +clipboard). xrdp runs only while the machine-wide lock
/run/lock/tsc-xrdp-tests.lock is held (the one the xrdp tests take); everything
started here is ended by its pid.
"""

import argparse
import fcntl
import hashlib
import json
import os
import pwd
import random
import re
import shlex
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
HOST, PORT = "127.28.2.2", 33930
CLIENT_DISPLAY = ":291"
USER, PASSWORD = "tsc28clip", "Clip-Test-28"
LOCK = "/run/lock/tsc-xrdp-tests.lock"
TEXT_BYTES = 1 << 20
PICTURE_SIZE = (1920, 1820)  # 24-bit: 10.5 MB of pixels
PASTE_TIMEOUT = 90
BACK = False  # --back: also the picture the other way
TEXT_BACK = False  # --text-back: also the text the other way
PICTURE = True  # --no-picture: text only
OWNER_PROGRAM = None  # x-selection-owner, built when first needed


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def wait_for(predicate, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def stop(process, grace=5):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(3)


# --- the server ---------------------------------------------------------------------


def ensure_user():
    try:
        pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "-m", "-s", "/bin/bash", USER], check=True)
    subprocess.run(["chpasswd"], input=f"{USER}:{PASSWORD}\n".encode(), check=True)


def write_configuration(folder):
    xrdp = open("/etc/xrdp/xrdp.ini").read()
    sesman = open("/etc/xrdp/sesman.ini").read()
    xrdp = re.sub(r"(?m)^port=3389$", f"port=tcp://{HOST}:{PORT}", xrdp)
    xrdp = re.sub(r"(?m)^autorun=.*$", "autorun=Xorg", xrdp)
    xrdp = re.sub(r"(?m)^LogFile=.*$", f"LogFile={folder}/xrdp.log", xrdp)
    start = xrdp.index("[Xorg]")
    end = xrdp.find("[", start + 1)
    end = len(xrdp) if end < 0 else end
    section = xrdp[start:end].replace("username=ask", f"username={USER}")
    section = section.replace("password=ask", f"password={PASSWORD}")
    xrdp = xrdp[:start] + section + xrdp[end:]
    sesman = re.sub(r"(?m)^LogFile=.*$", f"LogFile={folder}/sesman.log", sesman)
    open(f"{folder}/xrdp.ini", "w").write(xrdp)
    open(f"{folder}/sesman.ini", "w").write(sesman)


def user_pids():
    out = subprocess.run(["pgrep", "-u", USER], capture_output=True, text=True).stdout
    return [int(p) for p in out.split()]


def session_display():
    out = subprocess.run(["pgrep", "-a", "-u", USER, "Xorg"], capture_output=True, text=True).stdout
    match = re.search(r" (:[0-9]+) ", out)
    return match.group(1) if match else None


def end_user_session():
    for pid in user_pids():
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    wait_for(lambda: not user_pids(), 10)
    for pid in user_pids():
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def as_user(arguments, display, **kwargs):
    account = pwd.getpwnam(USER)
    environment = dict(os.environ, DISPLAY=display, HOME=account.pw_dir,
                       XAUTHORITY=f"{account.pw_dir}/.Xauthority")

    def become():
        os.setgroups([])
        os.setgid(account.pw_gid)
        os.setuid(account.pw_uid)

    return subprocess.run(arguments, env=environment, preexec_fn=become, cwd=account.pw_dir, **kwargs)


def paste_in_session(display, target=None, timeout=20):
    arguments = ["xclip", "-selection", "clipboard", "-o"]
    if target:
        arguments += ["-t", target]
    try:
        result = as_user(arguments, display, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return result.stdout if result.returncode == 0 else None


# --- the client's desktop -------------------------------------------------------------


class LocalCopy:
    """A program on the client's desktop that copied `data` and serves it until ended."""

    def __init__(self, data, target=None):
        arguments = ["xclip", "-quiet", "-selection", "clipboard", "-i"]
        if target:
            arguments += ["-t", target]
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, DISPLAY=CLIENT_DISPLAY))
        self.process.stdin.write(data)
        self.process.stdin.close()

    def end(self):
        stop(self.process, 2)


def text_payload(run):
    rng = random.Random(run)
    words = ["clipboard", "session", "paste", "copy", "desktop", "window", "server", "text"]
    lines = [f"run {run} " + hashlib.sha1(str(run).encode()).hexdigest()]
    size = len(lines[0]) + 1
    while size < TEXT_BYTES:
        line = " ".join(rng.choice(words) for _ in range(10))
        lines.append(line)
        size += len(line) + 1
    return ("\n".join(lines) + "\n").encode()[:TEXT_BYTES]


def picture_payload(run):
    width, height = PICTURE_SIZE
    stride = width * 3
    rng = random.Random(run)
    row = bytes(rng.getrandbits(8) for _ in range(stride))
    pixels = b"".join(row[(y * 7) % stride:] + row[:(y * 7) % stride] for y in range(height))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def same_text(pasted, sent):
    if pasted is None:
        return False
    return pasted.replace(b"\r\n", b"\n").rstrip(b"\0\n") == sent.rstrip(b"\n")


def same_picture(pasted, sent):
    # xrdp writes the BMP for its X programs itself (and drops a few bytes at the end).
    if not pasted or pasted[:2] != b"BM" or len(pasted) < 54:
        return False
    width, height = struct.unpack("<ii", pasted[18:26])
    return (width, abs(height)) == PICTURE_SIZE and len(pasted) >= len(sent) - 64


# --- one run --------------------------------------------------------------------------


def memory(pid):
    values = {}
    try:
        for line in open(f"/proc/{pid}/status"):
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    except OSError:
        pass
    return values


def reset_peak(pid):
    try:
        open(f"/proc/{pid}/clear_refs", "w").write("5")
    except OSError:
        pass


def measure_copy(pid, display, data, target, same):
    """Milliseconds from the local copy to a complete paste in the session, and the
    client's peak resident memory above its resident memory before, in kB."""
    reset_peak(pid)
    before = memory(pid).get("VmRSS", 0)
    started = time.monotonic()
    copy = LocalCopy(data, target)
    try:
        done = wait_for(lambda: same(paste_in_session(display, target), data), PASTE_TIMEOUT, step=0.01)
        elapsed = (time.monotonic() - started) * 1000
    finally:
        peak = memory(pid).get("VmHWM", 0)
        copy.end()
    return (round(elapsed, 1) if done else None), max(0, peak - before)


def protected_password(key_file):
    """The password as the program saves it in a profile ("password 51:b:"), with a
    fresh per-user key (AES-256-GCM over UTF-16 LE and one zero byte)."""
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    os.makedirs(os.path.dirname(key_file), exist_ok=True)
    key = os.urandom(32)
    with open(os.open(key_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as out:
        out.write(key)
    nonce = os.urandom(12)
    sealed = AESGCM(key).encrypt(nonce, PASSWORD.encode("utf-16-le") + b"\0", b"\x01")
    return (b"\x01" + nonce + sealed).hex().upper()


def write_profile(path, home):
    password = protected_password(f"{home}/.config/TerminalServerClient/protection.key")
    open(path, "w").write("\r\n".join([
        f"full address:s:{HOST}:{PORT}", f"username:s:{USER}", "savemypassword:s:yes",
        f"password 51:b:{password}", "screen mode id:i:1", "desktopwidth:i:1024", "desktopheight:i:768",
        "session bpp:i:24", "audiomode:i:2", "tsv_doloadbalancing:s:no", "tsv_doseamless:s:no", ""]))


def same_png(pasted, picture):
    if not pasted or pasted[:8] != b"\x89PNG\r\n\x1a\n" or len(pasted) < 24:
        return False
    return struct.unpack(">II", pasted[16:24]) == PICTURE_SIZE


def owner_program():
    """x-selection-owner.c built once: an X program that owns CLIPBOARD with one target
    and hands large data over incrementally the way toolkits do (the size in the INCR
    property). xrdp 0.9's channel server never answers for an xclip copy of 1 MiB or
    more (xclip leaves that property empty), see the README."""
    global OWNER_PROGRAM
    if OWNER_PROGRAM is None:
        OWNER_PROGRAM = os.path.join(tempfile.mkdtemp(prefix="x-selection-owner-"), "x-selection-owner")
        subprocess.run(["cc", "-O2", "-o", OWNER_PROGRAM, os.path.join(HERE, "x-selection-owner.c"), "-lX11"],
                       check=True)
        os.chmod(os.path.dirname(OWNER_PROGRAM), 0o755)
    return OWNER_PROGRAM


def copy_in_session(display, data, target, how="xclip"):
    """A program in the session owning CLIPBOARD with `data` as `target` until ended:
    xclip, or x-selection-owner ("incr": incremental as toolkits do; "single": one
    property)."""
    account = pwd.getpwnam(USER)
    environment = dict(os.environ, DISPLAY=display, HOME=account.pw_dir,
                       XAUTHORITY=f"{account.pw_dir}/.Xauthority")

    def become():
        os.setgroups([])
        os.setgid(account.pw_gid)
        os.setuid(account.pw_uid)

    if how == "xclip":
        copy = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-t", target, "-i"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=environment, preexec_fn=become)
        try:
            copy.stdin.write(data)
            copy.stdin.close()
        except BrokenPipeError:
            stop(copy, 2)
            return None
        return copy
    program = owner_program()
    path = os.path.join(os.path.dirname(program), "data.bin")
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, 0o644)
    return subprocess.Popen([program, how, target, path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=environment, preexec_fn=become)


def measure_copy_back(pid, display, picture, copied_as="image/bmp", pasted_as="image/png", same=None,
                      how="xclip"):
    """The other way: a program in the session copies the picture (image/bmp), a
    program here pastes it as image/png (or text, with its own types and check)."""
    same = same or same_png
    reset_peak(pid)
    before = memory(pid).get("VmRSS", 0)
    started = time.monotonic()
    copy = copy_in_session(display, picture, copied_as, how)
    if copy is None:
        return None, 0

    def pasted():
        paste_arguments = ["xclip", "-selection", "clipboard", "-o"]
        if pasted_as:
            paste_arguments += ["-t", pasted_as]
        try:
            out = subprocess.run(paste_arguments, capture_output=True, timeout=20,
                                 env=dict(os.environ, DISPLAY=CLIENT_DISPLAY))
        except subprocess.TimeoutExpired:
            return False
        return same(out.stdout, picture)

    try:
        done = wait_for(pasted, PASTE_TIMEOUT, step=0.01)
        elapsed = (time.monotonic() - started) * 1000
    finally:
        peak = memory(pid).get("VmHWM", 0)
        stop(copy, 2)
    return (round(elapsed, 1) if done else None), max(0, peak - before)


def run_client(name, command, run, folder):
    text = text_payload(run)
    picture = picture_payload(run)
    client_log = open(f"{folder}/{name}-{run}.log", "wb")
    home = tempfile.mkdtemp(prefix=f"{name}-home-", dir=folder)
    # In the client's own data folder, as a profile the user saved there: its saved
    # password is used.
    os.makedirs(f"{home}/.local/share/TerminalServer", exist_ok=True)
    profile = f"{home}/.local/share/TerminalServer/bench.rdp"
    write_profile(profile, home)
    arguments = shlex.split(command.format(host=HOST, port=PORT, profile=profile, user=USER,
                                           password=PASSWORD))
    for sub in (".config", ".local/share", ".local/state", "etc-xdg/TerminalServerClient", ".cache", "tmp"):
        os.makedirs(f"{home}/{sub}", exist_ok=True)
    # The profile lies outside the client's folders: the machine says not to ask first.
    open(f"{home}/etc-xdg/TerminalServerClient/HKEY_LOCAL_MACHINE.reg", "w").write(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TerminalServer]\r\n"
        "\"AskBeforeOpenedFiles\"=dword:00000000\r\n")
    environment = dict(os.environ, DISPLAY=CLIENT_DISPLAY, HOME=home, XDG_CONFIG_HOME=f"{home}/.config",
                       XDG_DATA_HOME=f"{home}/.local/share", XDG_STATE_HOME=f"{home}/.local/state",
                       XDG_CONFIG_DIRS=f"{home}/etc-xdg", XDG_CACHE_HOME=f"{home}/.cache",
                       TMPDIR=f"{home}/tmp", QT_QPA_PLATFORM="xcb")
    client = subprocess.Popen(arguments, env=environment, stdout=client_log, stderr=subprocess.STDOUT,
                              start_new_session=True)
    result = {"client": name, "run": run}
    try:
        display = wait_for(session_display, 60, step=0.2)
        if not display:
            result["error"] = "no user session"
            return result
        # Ready when a small local copy arrives inside the session (copied again now
        # and then: a client may announce only changes after its channel came up).
        def ready():
            for attempt in range(20):
                token = f"ready {name} {run} {attempt}".encode()
                copy = LocalCopy(token)
                arrived = wait_for(lambda: same_text(paste_in_session(display, timeout=3), token), 3, step=0.3)
                copy.end()
                if arrived:
                    return True
            return False

        if not ready():
            result["error"] = "the clipboard did not come up"
            return result
        time.sleep(0.5)
        result["text_ms"], result["text_peak_kb"] = measure_copy(client.pid, display, text, None, same_text)
        if PICTURE:
            result["picture_ms"], result["picture_peak_kb"] = measure_copy(client.pid, display, picture,
                                                                          "image/bmp", same_picture)
        if TEXT_BACK:
            result["text_back_ms"], result["text_back_peak_kb"] = measure_copy_back(
                client.pid, display, text, "UTF8_STRING", None,
                lambda pasted, sent: pasted is not None and pasted.rstrip(b"\0\n") == sent.rstrip(b"\n"),
                how="incr")
        if BACK:
            result["picture_back_ms"], result["picture_back_peak_kb"] = measure_copy_back(client.pid, display,
                                                                                        picture)
        result["rss_kb"] = memory(client.pid).get("VmRSS", 0)
        return result
    finally:
        stop(client)
        client_log.close()
        end_user_session()
        wait_for(lambda: session_display() is None, 10)


def main():
    global TEXT_BYTES, PICTURE_SIZE, PASTE_TIMEOUT, BACK, TEXT_BACK, PICTURE, CLIENT_DISPLAY
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", "--runs", type=int, default=5)
    parser.add_argument("-o", "--output", default=None)
    parser.add_argument("--text-bytes", type=int, default=TEXT_BYTES)
    parser.add_argument("--picture", default="x".join(map(str, PICTURE_SIZE)), help="WIDTHxHEIGHT")
    parser.add_argument("--timeout", type=float, default=90, help="seconds a paste may take")
    parser.add_argument("--back", action="store_true",
                        help="also a picture copied in the session and pasted here as image/png")
    parser.add_argument("--text-back", action="store_true",
                        help="also the text copied in the session and pasted here")
    parser.add_argument("--no-picture", action="store_true", help="leave out the picture copied here")
    parser.add_argument("--display", default=CLIENT_DISPLAY, help="the X display of the client's desktop")
    parser.add_argument("clients", nargs="*")
    options = parser.parse_args()
    TEXT_BYTES = options.text_bytes
    PICTURE_SIZE = tuple(int(v) for v in options.picture.split("x"))
    PASTE_TIMEOUT = options.timeout
    BACK = options.back
    TEXT_BACK = options.text_back
    PICTURE = not options.no_picture
    CLIENT_DISPLAY = options.display
    program = os.environ.get("TSC_PROGRAM", f"{ROOT}/build-rel/src/shell/tsvLinux-x86_64client")
    clients = options.clients or [
        f"ours={program} {{profile}}",
        "xfreerdp=xfreerdp /v:{host}:{port} /u:{user} /p:{password} /cert:ignore /size:1024x768 "
        "/bpp:24 +clipboard -wallpaper /sound:sys:fake",
    ]
    clients = [tuple(c.split("=", 1)) for c in clients]
    if os.geteuid() != 0:
        sys.exit("clipboard-figures.py: xrdp's session manager needs root")

    lock = open(LOCK, "a")
    log("waiting for", LOCK)
    fcntl.flock(lock, fcntl.LOCK_EX)
    folder = tempfile.mkdtemp(prefix="clipboard-figures-")
    os.chmod(folder, 0o755)
    processes = []
    try:
        ensure_user()
        os.makedirs("/run/xrdp/sockdir", exist_ok=True)
        os.chmod("/run/xrdp/sockdir", 0o3777)
        write_configuration(folder)
        end_user_session()
        xvfb = subprocess.Popen(["Xvfb", CLIENT_DISPLAY, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                                 "-noreset"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(xvfb)
        out = open(f"{folder}/server.out", "wb")
        sesman = subprocess.Popen(["/usr/sbin/xrdp-sesman", "--nodaemon", "--config", f"{folder}/sesman.ini"],
                                  stdout=out, stderr=subprocess.STDOUT)
        processes.append(sesman)
        xrdp = subprocess.Popen(["/usr/sbin/xrdp", "--nodaemon", "--config", f"{folder}/xrdp.ini"],
                                stdout=out, stderr=subprocess.STDOUT)
        processes.append(xrdp)
        import socket

        def listening():
            with socket.socket() as s:
                s.settimeout(0.2)
                return s.connect_ex((HOST, PORT)) == 0

        if not wait_for(listening, 10):
            sys.exit("xrdp does not listen")
        results = []
        output = open(options.output, "a") if options.output else None
        for run in range(options.runs):
            for name, command in clients:
                result = run_client(name, command, run, folder)
                result["text_bytes"], result["picture"] = TEXT_BYTES, "x".join(map(str, PICTURE_SIZE))
                result["when"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
                log(json.dumps(result))
                results.append(result)
                if output:
                    output.write(json.dumps(result) + "\n")
                    output.flush()
        summary = {}
        for name, _ in clients:
            mine = [r for r in results if r["client"] == name]
            for key in ("text_ms", "picture_ms", "text_peak_kb", "picture_peak_kb", "picture_back_ms",
                        "picture_back_peak_kb", "text_back_ms", "text_back_peak_kb", "rss_kb"):
                values = [r[key] for r in mine if r.get(key) is not None]
                if values:
                    summary.setdefault(name, {})[key] = {"median": statistics.median(values),
                                                         "min": min(values), "max": max(values),
                                                         "n": len(values)}
        print(json.dumps(summary, indent=1))
        if output:
            output.write(json.dumps({"summary": summary}) + "\n")
        log("logs in", folder)
    finally:
        end_user_session()
        for process in reversed(processes):
            stop(process)
        lock.close()


if __name__ == "__main__":
    main()
