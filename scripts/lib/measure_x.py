"""Runs velmora or its floor under the X server named by DISPLAY, for scripts/measure.

    measure_x.py startup RESULTS PROGRAM TITLE LOG -- COMMAND...
    measure_x.py session RESULTS PROGRAM TITLE LOG ROUND SECONDS TRACE SIM -- COMMAND...
    measure_x.py startup-count RESULTS PROGRAM TITLE LOG CALLGRIND_OUT -- COMMAND...

Each run appends one JSON object, a line, to RESULTS; scripts/lib/measure_report.py reads them.
Standard library only: Xlib is reached through ctypes, clicks through xdotool.
"""

import atexit
import ctypes
import ctypes.util
import json
import os
import select
import signal
import subprocess
import sys
import time
from ctypes import POINTER, byref, c_char_p, c_int, c_long, c_uint, c_ulong, c_void_p

# Where velmora's window has its buttons, in pixels of the client area: the centres of
# "Initial" (104, 144, 81x33) and "Exit" (24, 144, 81x33). The floor has them at the same place.
INITIAL = (144, 160)
EXIT = (64, 160)
# A pixel of the window's own background, clear of every control: black (the bare root showing
# through) until the program has put its first frame on the screen.
PROBE = (2, 2)
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
MAP_NOTIFY = 19
Z_PIXMAP = 2
ALL_PLANES = 0xFFFFFFFF
STARTUP_LIMIT_S = 30
# Under callgrind a start-up runs some fifty times slower.
COUNTED_STARTUP_LIMIT_S = 600
# After the first frame: long enough for what the first paint set going to finish.
SETTLE_S = 2


def fail(message):
    print("measure_x: " + message, file=sys.stderr)
    sys.exit(1)


def xlib():
    x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = c_void_p
    x.XOpenDisplay.argtypes = [c_char_p]
    x.XDefaultRootWindow.restype = c_ulong
    x.XDefaultRootWindow.argtypes = [c_void_p]
    x.XSelectInput.argtypes = [c_void_p, c_ulong, c_long]
    x.XPending.argtypes = [c_void_p]
    x.XNextEvent.argtypes = [c_void_p, c_void_p]
    x.XConnectionNumber.argtypes = [c_void_p]
    x.XFlush.argtypes = [c_void_p]
    x.XFetchName.argtypes = [c_void_p, c_ulong, POINTER(c_void_p)]
    x.XFree.argtypes = [c_void_p]
    x.XGetImage.restype = c_void_p
    x.XGetImage.argtypes = [c_void_p, c_ulong, c_int, c_int, c_uint, c_uint, c_ulong, c_int]
    x.XGetPixel.restype = c_ulong
    x.XGetPixel.argtypes = [c_void_p, c_int, c_int]
    x.XDestroyImage.argtypes = [c_void_p]
    x.XCloseDisplay.argtypes = [c_void_p]
    return x


X = None
LAUNCHED = []
ERROR_HANDLER = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)(lambda display, event: 0)


def launch(title, log, command, limit_s=STARTUP_LIMIT_S):
    """Starts the program and returns (process, window, milliseconds from exec to first frame).

    The first frame is on the screen when the window is mapped and a pixel of its background is
    no longer the root's black. Both programs are timed by exactly this method."""
    global X
    X = X or xlib()
    # A window that is not viewable yet answers a grab with BadMatch: an expected answer here.
    X.XSetErrorHandler(ERROR_HANDLER)
    display = X.XOpenDisplay(None)
    if not display:
        fail("cannot open display " + os.environ.get("DISPLAY", "(unset)"))
    X.XSelectInput(display, X.XDefaultRootWindow(display), SUBSTRUCTURE_NOTIFY_MASK)
    X.XFlush(display)
    event = (c_long * 24)()
    fd = X.XConnectionNumber(display)

    started = time.monotonic()
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL)
    LAUNCHED.append(process)
    deadline = started + limit_s
    window = None
    while window is None:
        if process.poll() is not None:
            fail(f"{command[0]} ended with status {process.returncode} before showing a window")
        if time.monotonic() > deadline:
            process.kill()
            fail(f"{command[0]} showed no window titled '{title}' within {limit_s} s")
        if not X.XPending(display):
            select.select([fd], [], [], 0.1)
            continue
        X.XNextEvent(display, event)
        if ctypes.cast(event, POINTER(c_int))[0] != MAP_NOTIFY:
            continue
        mapped = event[5]  # XMapEvent.window
        name = c_void_p()
        if X.XFetchName(display, mapped, byref(name)) and name.value:
            if ctypes.string_at(name.value).decode(errors="replace") == title:
                window = mapped
            X.XFree(name)
    while True:
        image = X.XGetImage(display, window, PROBE[0], PROBE[1], 1, 1, ALL_PLANES, Z_PIXMAP)
        pixel = 0
        if image:
            pixel = X.XGetPixel(image, 0, 0)
            X.XDestroyImage(image)
        if pixel != 0:
            break
        if time.monotonic() > deadline:
            process.kill()
            fail(f"{command[0]} mapped its window but painted nothing within {limit_s} s")
        time.sleep(0.0002)
    startup_ms = (time.monotonic() - started) * 1000
    X.XCloseDisplay(display)
    return process, window, startup_ms


def click(window, point):
    subprocess.run(["xdotool", "mousemove", "--window", str(window), str(point[0]),
                    str(point[1]), "click", "1"], check=True)


def cpu_seconds(pid):
    """utime + stime of the whole process, from /proc, in clock ticks' resolution."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def scheduler_seconds(pid):
    """CPU time of every live thread, in the scheduler's own (nanosecond) accounting."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
    except OSError:
        return float("nan")
    return total / 1e9


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def stop(process, window=None):
    """Ends the program as a user would, by its Exit button; a signal if it does not listen."""
    if window is not None and process.poll() is None:
        try:
            click(window, EXIT)
            process.wait(timeout=10)
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired):
            pass
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def record(results, entry):
    with open(results, "a") as out:
        out.write(json.dumps(entry) + "\n")


def startup(results, program, title, log_path, command):
    with open(log_path, "a") as log:
        process, _, ms = launch(title, log, command)
        stop(process)
    record(results, {"kind": "startup", "program": program, "ms": round(ms, 1)})
    print(f"{program} start-up: {ms:.1f} ms")


def startup_count(results, program, title, log_path, out, command):
    """Counts the instructions from exec to the first frame, and the moment after it.

    callgrind writes its counts when the program ends on SIGTERM (neither program handles it)."""
    counted = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + command
    with open(log_path, "a") as log:
        process, _, _ = launch(title, log, counted, COUNTED_STARTUP_LIMIT_S)
        time.sleep(SETTLE_S)
        process.terminate()
        process.wait()
    record(results, {"kind": "startup-count", "program": program, "out": out})
    print(f"{program} start-up counted into {out}")


def session(results, program, title, log_path, round_number, seconds, trace, sim, command):
    with open(log_path, "a") as log:
        process, window, ms = launch(title, log, command)
        click(window, INITIAL)
        time.sleep(0.5)  # the click lands and the first ticks pass before measuring starts
        if process.poll() is not None:
            fail(f"{command[0]} ended with status {process.returncode} after Initial")
        subprocess.run([sim, "trace", trace], check=True, stdout=subprocess.DEVNULL)
        cpu0, sched0, t0 = cpu_seconds(process.pid), scheduler_seconds(process.pid), time.monotonic()
        time.sleep(seconds)
        if process.poll() is not None:
            fail(f"{command[0]} ended with status {process.returncode} while being measured")
        cpu1, sched1, t1 = cpu_seconds(process.pid), scheduler_seconds(process.pid), time.monotonic()
        rss = peak_rss_kib(process.pid)
        subprocess.run([sim, "trace", "off"], check=True, stdout=subprocess.DEVNULL)
        status = stop(process, window)
    entry = {"kind": "session", "program": program, "round": round_number,
             "startup_ms": round(ms, 1), "cpu_s": round(cpu1 - cpu0, 2),
             "sched_cpu_s": round(sched1 - sched0, 4), "wall_s": round(t1 - t0, 2),
             "rss_kib": rss, "exit": status, "trace": trace}
    record(results, entry)
    print(json.dumps(entry))
    if status != 0:
        print(f"measure_x: warning: {program} ended with status {status} after Exit",
              file=sys.stderr)


def end_launched():
    for process in LAUNCHED:
        if process.poll() is None:
            process.kill()


def main():
    # Stopped from outside, the helper takes the program it started with it.
    atexit.register(end_launched)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if "--" not in sys.argv:
        fail("usage: see the top of this file")
    split = sys.argv.index("--")
    mode, args, command = sys.argv[1], sys.argv[2:split], sys.argv[split + 1:]
    if mode == "startup" and len(args) == 4:
        startup(*args, command)
    elif mode == "startup-count" and len(args) == 5:
        startup_count(*args, command)
    elif mode == "session" and len(args) == 8:
        results, program, title, log_path, round_number, seconds, trace, sim = args
        session(results, program, title, log_path, int(round_number), float(seconds), trace,
                sim, command)
    else:
        fail("usage: see the top of this file")


if __name__ == "__main__":
    main()
