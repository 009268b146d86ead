#!/usr/bin/env python3
"""Global hotkeys and "Show clicks", on a private Xvfb showing the scene's still desktop.

Hotkey: capture_server waits with the video handler at 30 fps (a tick every 33 ms); xdotool
presses Ctrl+Alt+Shift+R and the time to the start's console line ("Recording: ...") is taken,
from xdotool's exit (it sends the key events without delay and exits once the X server has
them, so this may come out a little short) and, as an upper bound, from its launch. Each trial stops the recording again with the same key before the next.

Show clicks: the saver at 1920x1080, 30 fps, while xdotool clicks every 300 ms (a ring is live in
most frames, and each ring's start and end change the frame), without and with --show-clicks,
the two alternating for --rounds rounds so that the machine's other load falls on both alike:
capture_server's and the X server's CPU milliseconds per frame, and the median difference.

Usage: bench/input_bench.py [--trials N] [--seconds S] [--rounds N] [--only hotkey|clicks]
"""
import argparse
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

WARMUP_FRAMES = 30


class Server:
    """capture_server with each console line timestamped as it arrives."""

    def __init__(self, display, args):
        self.work = tempfile.mkdtemp(prefix="input-bench-", dir=os.environ.get("BENCH_TMP", "/tmp"))
        exe = os.path.join(benchlib.build_dir(), "capture_server", "capture_server")
        self.proc = subprocess.Popen([exe, "-geometry", "400x500+1500+500", "--port", "0"] + args, cwd=self.work,
                                     env=display.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put((time.monotonic(), line.rstrip("\n")))
        self.lines.put((time.monotonic(), None))

    def wait_for(self, prefix, timeout=20.0):
        """The time the first line starting with `prefix` arrived (lines before it are dropped)."""
        end = time.monotonic() + timeout
        while True:
            try:
                when, line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                benchlib.fail(f"no line starting with {prefix!r} within {timeout} s")
            if line is None:
                benchlib.fail(f"capture_server ended before a line starting with {prefix!r}")
            if line.startswith(prefix):
                return when

    def close(self):
        benchlib.stop(self.proc)
        benchlib.clean(self.work)


def press(display, keys):
    launched = time.monotonic()
    # No delay between the key events, so that xdotool exits as soon as it has sent them.
    subprocess.run(["xdotool", "key", "--delay", "0", keys], env=display.env, check=True)
    return launched, time.monotonic()


def hotkey(display, trials):
    server = Server(display, ["--handler", "video", "--fps", "30", "--area", "0,0,1280,720"])
    server.wait_for("Hotkeys: ")
    from_exit, from_launch = [], []
    for _ in range(trials):
        launched, sent = press(display, "ctrl+alt+shift+r")
        line = server.wait_for("Recording: ")
        from_exit.append(1000 * (line - sent))
        from_launch.append(1000 * (line - launched))
        server.wait_for("Captures/s ")
        press(display, "ctrl+alt+shift+r")
        server.wait_for("Recorded ")
    server.close()
    print(f"hotkey to the start's line, {trials} trials at 30 fps (tick 33.3 ms): "
          f"median {statistics.median(from_exit):.1f} ms, max {max(from_exit):.1f} ms after xdotool's exit; "
          f"median {statistics.median(from_launch):.1f} ms, max {max(from_launch):.1f} ms after its launch")


def clicks(display, seconds, show):
    args = ["--handler", "saver", "--fps", "30", "--area", "0,0,1920,1080", "--start"]
    if show:
        args.append("--show-clicks")
    server = Server(display, args)
    for _ in range(WARMUP_FRAMES):
        server.wait_for("Writing: ")
    # A click every 300 ms in the scene's still part, a different button each time: with or
    # without rings, so that the clicks' own cost (xdotool, the X server) is in both.
    clicker = subprocess.Popen(["sh", "-c", "while :; do for b in 1 2 3; do xdotool mousemove 300 700 click $b; "
                                "sleep 0.3; done; done"], env=display.env)
    start = benchlib.Sample([server.proc.pid, display.xvfb.pid])
    frames = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        server.wait_for("Writing: ")
        frames += 1
    cpu, wall, _ = benchlib.Sample([server.proc.pid, display.xvfb.pid]).since(start)
    benchlib.stop(clicker)
    server.close()
    own = 1000 * cpu[server.proc.pid] / frames
    xserver = 1000 * cpu[display.xvfb.pid] / frames
    label = ("with" if show else "without") + " --show-clicks, a click every 300 ms"
    print(f"saver 1920x1080 @ 30 fps {label}: {frames / wall:.1f} fps, capture_server {own:.2f} ms CPU/frame, "
          f"X server {xserver:.2f} ms CPU/frame (load {benchlib.load_average():.1f})")
    return own + xserver


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--only", choices=["hotkey", "clicks"])
    opts = parser.parse_args()
    benchlib.require("xdotool", "apt-get install xdotool")
    with benchlib.Display(scene_fps=30, content="desktop") as display:
        if opts.only in (None, "hotkey"):
            hotkey(display, opts.trials)
        if opts.only in (None, "clicks"):
            added = []
            for _ in range(opts.rounds):
                without = clicks(display, opts.seconds, False)
                added.append(clicks(display, opts.seconds, True) - without)
            print(f"Show clicks adds {statistics.median(added):+.2f} ms CPU per frame (median of "
                  f"{', '.join(f'{a:+.2f}' for a in added)}; capture_server plus X server)")


if __name__ == "__main__":
    main()
