#!/usr/bin/env python3
"""What the history keeps on disk while capture_server records the bench's screen contents.

For each content (the whole moving 1920x1080 screen; the still desktop region with one small
video), capture_server records over TCP with no viewer for --seconds at --fps, and the disk its
history's unlinked files take is read from /proc/PID/fd once a second. Prints the bytes a frame,
what an hour would take, the most seen on disk, and capture_server's CPU.

Usage: bench/history_bench.py [--seconds 30] [--fps 30] [--build DIR] [--only moving|desktop]
"""
import argparse
import os
import re
import tempfile
import time

import benchlib

AREAS = {"moving": (0, 0, 1920, 1080), "desktop": (0, 0, 1240, 1080)}


def history_disk_bytes(pid):
    total = 0
    fds = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fds)
    except OSError:
        return 0
    for name in names:
        try:
            if "deskcast-history-" in os.readlink(os.path.join(fds, name)):
                total += os.stat(os.path.join(fds, name)).st_blocks * 512
        except OSError:
            pass
    return total


def run(build, content, seconds, fps):
    area = AREAS[content]
    with benchlib.Display(content=content, build=build) as display, tempfile.TemporaryDirectory() as work:
        server, log_path = benchlib.start_capture_server(
            build, display, work,
            ["--handler", "tcp", "--start", "--area", ",".join(map(str, area)), "--fps", str(fps)])
        try:
            time.sleep(2)  # recording
            start_cpu = benchlib.cpu_seconds(server.pid)
            start = time.monotonic()
            most = 0
            while time.monotonic() - start < seconds:
                time.sleep(1)
                most = max(most, history_disk_bytes(server.pid))
            elapsed = time.monotonic() - start
            cpu = benchlib.cpu_seconds(server.pid) - start_cpu
            on_disk = history_disk_bytes(server.pid)
        finally:
            benchlib.stop(server)
    frames = fps * elapsed
    per_frame = on_disk / frames
    return {"content": content, "per_frame_kb": per_frame / 1000, "gb_per_hour": per_frame * fps * 3600 / 1e9,
            "most_mb": most / 1e6, "cpu_percent": 100 * cpu / elapsed}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--build", help="build folder (default: build/release)")
    parser.add_argument("--only", choices=sorted(AREAS))
    args = parser.parse_args()
    build = benchlib.build_dir(args.build)
    print(f"load average at start: {benchlib.load_average()}")
    for content in [args.only] if args.only else ["moving", "desktop"]:
        r = run(build, content, args.seconds, args.fps)
        print(f"{r['content']:8} {AREAS[content][2]}x{AREAS[content][3]} at {args.fps} fps: "
              f"{r['per_frame_kb']:.1f} KB a frame, {r['gb_per_hour']:.2f} GB an hour, "
              f"most on disk {r['most_mb']:.0f} MB, capture_server {r['cpu_percent']:.0f} % of a core")
    print(f"load average at end: {benchlib.load_average()}")


if __name__ == "__main__":
    main()
