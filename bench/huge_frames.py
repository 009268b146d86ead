#!/usr/bin/env python3
"""stream_viewer under a stream of huge frames: 8000x8000 frames sent without a pause.

A server of its own (plain PNG frames, the way another sender would write them, not the
capture_server's banded ones) pushes frames as fast as the viewer's socket takes them. Every
frame carries its number in the counter strip that stream_viewer's --timing-log reads, and
the pixels below the strip alternate between two contents, so every frame differs from the one
before. Measured:
  peak memory   the viewer's largest resident size above its size before the first frame, in
                decoded frames (width x height x 4 bytes)
  first frame   from the first byte sent to the first frame painted
  longest gap   the longest time between two painted frames after the first (and up to the
                end of the run)
  frames        painted frames, and frames sent

Usage: bench/huge_frames.py [--seconds N] [--size WxH] [--build DIR]
Needs a display (DISPLAY) or xvfb-run; run through scripts/with-display.sh otherwise.
"""
import argparse
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

COUNTER_BITS = 32
COUNTER_CELL = 16


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)


class FrameMaker:
    """Plain RGB PNG frames: a counter strip, then one of two contents, deflated once each."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        row_bytes = width * 3
        base = bytes(range(256)) * (row_bytes // 256 + 2)
        self.bodies = []
        for variant in range(2):
            rows = []
            for y in range(COUNTER_CELL, height):
                shift = (y * 3 + variant * 101) % 256
                rows.append(b"\x00" + base[shift:shift + row_bytes])
            raw = b"".join(rows)
            squeeze = zlib.compressobj(1, zlib.DEFLATED, -15)
            self.bodies.append((raw, squeeze.compress(raw) + squeeze.flush(zlib.Z_FINISH)))
        self.header = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))

    def frame(self, number):
        row = bytearray(self.width * 3)
        for bit in range(COUNTER_BITS):
            if (number >> (COUNTER_BITS - 1 - bit)) & 1:
                start = bit * COUNTER_CELL * 3
                row[start:start + COUNTER_CELL * 3] = b"\xff" * (COUNTER_CELL * 3)
        strip = (b"\x00" + bytes(row)) * COUNTER_CELL
        raw, deflated = self.bodies[number % 2]
        squeeze = zlib.compressobj(1, zlib.DEFLATED, -15)
        head = squeeze.compress(strip) + squeeze.flush(zlib.Z_FULL_FLUSH)  # no reference across
        adler = zlib.adler32(raw, zlib.adler32(strip))
        stream = b"\x78\x01" + head + deflated + struct.pack(">I", adler)
        png = self.header + chunk(b"IDAT", stream) + chunk(b"IEND", b"")
        body = struct.pack(">I", 1) + png  # the marker of a non-null image
        return struct.pack(">q", len(body)) + body


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--size", default="8000x8000")
    parser.add_argument("--build")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    build = benchlib.build_dir(args.build, os.path.join("stream_viewer", "stream_viewer"))
    viewer_path = benchlib.tool(build, os.path.join("stream_viewer", "stream_viewer"))
    if not os.environ.get("DISPLAY"):
        benchlib.fail("no DISPLAY: run it through scripts/with-display.sh")

    print(f"encoding two {width}x{height} contents ...", flush=True)
    maker = FrameMaker(width, height)
    decoded = width * height * 4

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    with tempfile.TemporaryDirectory() as tmp:
        timing = os.path.join(tmp, "timing.log")
        viewer = subprocess.Popen([viewer_path, "--host", "127.0.0.1", "--port", str(port), "--timing-log", timing],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            listener.settimeout(30)
            peer, _ = listener.accept()
            start_rss = resident_bytes(viewer.pid)
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:  # settles once its window is up
                time.sleep(0.1)
                start_rss = max(start_rss, resident_bytes(viewer.pid))
            sent = [0]
            stop = threading.Event()

            def send():
                number = 0
                try:
                    while not stop.is_set():
                        peer.sendall(maker.frame(number))
                        number += 1
                        sent[0] = number
                except OSError:
                    pass

            peak = start_rss
            t0_ms = time.clock_gettime(time.CLOCK_MONOTONIC) * 1000
            sender = threading.Thread(target=send, daemon=True)
            sender.start()
            end = time.monotonic() + args.seconds
            while time.monotonic() < end and viewer.poll() is None:
                time.sleep(0.05)
                peak = max(peak, resident_bytes(viewer.pid))
            end_ms = time.clock_gettime(time.CLOCK_MONOTONIC) * 1000
            stop.set()
            peer.close()
        finally:
            viewer.terminate()
            viewer.wait(10)
        painted = []
        if os.path.exists(timing):
            with open(timing) as log:
                for line in log:
                    counter, ms = line.split()
                    painted.append((int(counter), float(ms)))
    print(f"frame {width}x{height}: decoded {decoded / 2**20:.0f} MiB, {len(maker.frame(0)) / 2**20:.1f} MiB on the wire")
    print(f"peak memory above start: {(peak - start_rss) / 2**20:.0f} MiB = {(peak - start_rss) / decoded:.2f} decoded frames")
    if not painted:
        print(f"no frame painted in {args.seconds:.0f} s ({sent[0]} sent)")
        return
    times = [t0_ms] + [ms for _, ms in painted] + [end_ms]
    gaps = [b - a for a, b in zip(times[1:], times[2:])]
    print(f"first frame painted after {painted[0][1] - t0_ms:.0f} ms")
    print(f"longest gap between painted frames: {max(gaps) if gaps else 0:.0f} ms")
    print(f"frames painted: {len(painted)} of {sent[0]} sent; counters in order: "
          f"{all(a[0] < b[0] for a, b in zip(painted, painted[1:]))}")


if __name__ == "__main__":
    main()
