#!/usr/bin/env python3
"""Soak test of capture_server's TCP server on loopback, bounded in time.

capture_server --handler tcp captures 640x480 of the moving scene at 30 fps on a private Xvfb
while up to 16 viewers come and go:
  - 14 viewers connect, read frames for a random while (bench/tcpreader, a real frame parser),
    disconnect and come back after a random pause;
  - one viewer connects with a small receive buffer and never reads;
  - one viewer reads a frame length and part of the body, then disconnects in the middle of the
    frame (alternately with a reset and with an orderly close), over and over.
It reports the server's resident memory over time, the frames each viewer received per minute
and per second connected, the console lines per second, and whether the server survived and
exited cleanly. The exit status is 0 only when it did, its memory stayed flat, every reading
viewer received frames throughout and no frame was malformed.

    bench/soak.py [--minutes 5] [--build-dir DIR] [--seed N]
"""
import argparse
import collections
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import benchlib

CHURNERS = 14
STALLED_RCVBUF = 4096


def start_server(bin_dir, display, fps):
    args = [os.path.join(bin_dir, "capture_server", "capture_server"), "--port", "0", "--bind", "127.0.0.1",
            "--area", "0,0,640,480", "--fps", str(fps), "--handler", "tcp", "--start"]
    return subprocess.Popen(args, env=display.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", bufsize=1)


class Console:
    """Reads the server's output: the port, line counts per second and per kind."""

    def __init__(self, proc):
        self.proc = proc
        self.port = None
        self.port_seen = threading.Event()
        self.per_second = collections.Counter()
        self.kinds = collections.Counter()
        self.start = time.monotonic()
        self.first_lines = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def kind(line):
        line = re.sub(r"\d+", "N", line.strip())
        return re.sub(r"Client [0-9a-fA-F.:]+ ", "Client ADDR ", line)

    def _run(self):
        for line in self.proc.stdout:
            now = time.monotonic()
            self.per_second[int(now - self.start)] += 1
            self.kinds[self.kind(line)] += 1
            if len(self.first_lines) < 8:
                self.first_lines.append(line.rstrip())
            if self.port is None:
                m = re.match(r"Port: (\d+)", line)
                if m:
                    self.port = int(m.group(1))
                    self.port_seen.set()


class Churner(threading.Thread):
    """A viewer that connects, reads whole frames for a random while and leaves, again and again."""

    def __init__(self, index, bin_dir, port, deadline, rng, t0):
        super().__init__(daemon=True)
        self.name = f"viewer{index:02d}"
        self.reader = os.path.join(bin_dir, "bench", "tcpreader")
        self.port = port
        self.deadline = deadline
        self.rng = random.Random(rng.random())
        self.t0 = t0
        self.sessions = []  # (start, seconds connected, frames)
        self.errors = []

    def run(self):
        time.sleep(self.rng.uniform(0, 3))
        while time.monotonic() < self.deadline - 2:
            seconds = min(self.rng.uniform(0.5, 12), max(0.5, self.deadline - time.monotonic() - 1))
            start = time.monotonic()
            out = subprocess.run([self.reader, "--connect", f"127.0.0.1:{self.port}", "--warmup", "0",
                                  "--seconds", f"{seconds:.2f}"], capture_output=True, text=True,
                                 timeout=seconds + 60)
            m = re.search(r"result frames (\d+)", out.stdout)
            if out.returncode != 0 or not m:
                self.errors.append(f"tcpreader exit {out.returncode}: {out.stderr.strip()[:200]}")
                frames = 0
            else:
                # The first frame opens tcpreader's window and is not counted in it.
                frames = int(m.group(1)) + (1 if "window start" in out.stdout else 0)
            self.sessions.append((start - self.t0, seconds, frames))
            time.sleep(self.rng.uniform(0, 1.5))


class Stalled(threading.Thread):
    """A viewer that connects with a small receive buffer and never reads."""

    def __init__(self, port, deadline):
        super().__init__(daemon=True)
        self.name = "stalled"
        self.port = port
        self.deadline = deadline
        self.connected = False

    def run(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, STALLED_RCVBUF)
        sock.connect(("127.0.0.1", self.port))
        self.connected = True
        while time.monotonic() < self.deadline:
            time.sleep(0.5)
        sock.close()


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed by the server")
        data += chunk
    return bytes(data)


class MidFrame(threading.Thread):
    """A viewer that leaves in the middle of a frame, with a reset or an orderly close."""

    def __init__(self, port, deadline, rng):
        super().__init__(daemon=True)
        self.name = "midframe"
        self.port = port
        self.deadline = deadline
        self.rng = random.Random(rng.random())
        self.cuts = 0
        self.errors = []

    def run(self):
        while time.monotonic() < self.deadline - 2:
            try:
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
                if self.cuts % 2 == 0:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                (length,) = struct.unpack(">q", recv_exact(sock, 8))
                if not 4 <= length <= 256 << 20:
                    self.errors.append(f"bad frame length {length}")
                recv_exact(sock, max(1, min(length - 1, self.rng.randint(1, max(1, length // 2)))))
                sock.close()
                self.cuts += 1
            except (OSError, ConnectionError) as e:
                self.errors.append(str(e))
            time.sleep(self.rng.uniform(0.2, 3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=5.0, help="length of the soak (default 5)")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--build-dir", default=None, help="build with capture_server and bench/tcpreader")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample-seconds", type=float, default=10.0, help="memory sampling interval")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.build_dir) if args.build_dir else benchlib.build_dir()
    rng = random.Random(args.seed)
    duration = args.minutes * 60

    with benchlib.Display(size="1280x720", scene_fps=30) as display:
        server = start_server(bin_dir, display, args.fps)
        console = Console(server)
        try:
            if not console.port_seen.wait(30):
                raise SystemExit("capture_server printed no port")
            t0 = time.monotonic()
            deadline = t0 + duration
            print(f"soak: capture_server pid {server.pid}, port {console.port}, {args.minutes:g} min, "
                  f"{CHURNERS} churning viewers + 1 stalled + 1 leaving mid-frame", flush=True)
            stalled = Stalled(console.port, deadline)
            stalled.start()
            midframe = MidFrame(console.port, deadline, rng)
            midframe.start()
            churners = [Churner(i, bin_dir, console.port, deadline, rng, t0) for i in range(CHURNERS)]
            for c in churners:
                c.start()

            samples = []  # (seconds, rss MiB, peak MiB)
            next_sample = t0
            while time.monotonic() < deadline and server.poll() is None:
                if time.monotonic() >= next_sample:
                    samples.append((time.monotonic() - t0, benchlib.rss_mb(server.pid),
                                    benchlib.peak_rss_mb(server.pid)))
                    print(f"  t={samples[-1][0]:6.0f} s  rss {samples[-1][1]:6.1f} MiB  "
                          f"peak {samples[-1][2]:6.1f} MiB", flush=True)
                    next_sample += args.sample_seconds
                time.sleep(0.2)
            alive = server.poll() is None
            for t in churners + [midframe, stalled]:
                t.join(90)
        finally:
            exit_code = server.poll()
            if exit_code is None:
                server.send_signal(signal.SIGTERM)
                try:
                    exit_code = server.wait(20)
                except subprocess.TimeoutExpired:
                    server.kill()
                    exit_code = server.wait()
            console.thread.join(5)

    return report(args, samples, alive, exit_code, console, churners, stalled, midframe, duration)


def report(args, samples, alive, exit_code, console, churners, stalled, midframe, duration):
    ok = True
    print()
    print("Start-up lines:")
    for line in console.first_lines[:5]:
        print("  " + line)

    print("\nServer resident memory (MiB):")
    for t, rss, peak in samples:
        print(f"  {t:6.0f} s  {rss:6.1f}  (peak {peak:6.1f})")
    # Flat: after the first minute (pools, caches and the encoders warmed up), the resident
    # size may wander but must not keep growing.
    settled = [s for s in samples if s[0] >= 60] or samples
    first, last = settled[0][1], settled[-1][1]
    peak_growth = settled[-1][2] - settled[0][2]
    growth = last - first
    flat = growth < 30 and peak_growth < 60
    print(f"  from {settled[0][0]:.0f} s to {settled[-1][0]:.0f} s: rss {first:.1f} -> {last:.1f} MiB "
          f"({growth:+.1f}), peak {settled[0][2]:.1f} -> {settled[-1][2]:.1f} MiB ({peak_growth:+.1f}): "
          f"{'flat' if flat else 'GROWING'}")
    ok &= flat

    minutes = int(duration // 60) + (1 if duration % 60 else 0)
    print("\nFrames received per viewer and minute (sessions; frames per second connected):")
    print("  viewer    " + " ".join(f"{'min ' + str(m + 1):>7}" for m in range(minutes))
          + "   sessions  fps-connected  empty-sessions")
    for c in churners:
        per_minute = [0] * minutes
        for start, _, frames in c.sessions:
            per_minute[min(minutes - 1, int(start // 60))] += frames
        connected = sum(s for _, s, _ in c.sessions)
        frames = sum(f for _, _, f in c.sessions)
        # A session of at least two seconds must bring frames; shorter ones may end before
        # the first encoded frame arrives.
        empty = sum(1 for _, s, f in c.sessions if s >= 2 and f == 0)
        fps = frames / connected if connected else 0
        print(f"  {c.name}  " + " ".join(f"{n:7d}" for n in per_minute)
              + f"   {len(c.sessions):8d}  {fps:13.1f}  {empty:14d}")
        if empty or c.errors or any(n == 0 for n in per_minute):
            ok = False
            for e in c.errors[:3]:
                print(f"    error: {e}")
    print(f"  stalled viewer: connected {stalled.connected}, never read")
    print(f"  mid-frame viewer: {midframe.cuts} frames cut off, {len(midframe.errors)} errors "
          f"{midframe.errors[:3] if midframe.errors else ''}")
    ok &= stalled.connected and midframe.cuts > 0 and not midframe.errors

    seconds = sorted(console.per_second.items())
    total = sum(n for _, n in seconds)
    busiest = max((n for _, n in seconds), default=0)
    span = max(1, (seconds[-1][0] - seconds[0][0] + 1) if seconds else 1)
    print(f"\nConsole: {total} lines in {span} s, {total / span:.0f} lines/s on average, "
          f"{busiest} in the busiest second")
    for kind, n in console.kinds.most_common(10):
        print(f"  {n / span:8.1f}/s  {kind}")

    print(f"\nServer alive at the end: {alive}; exit status after SIGTERM: {exit_code}")
    ok &= alive and exit_code == 0
    print("soak: " + ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
