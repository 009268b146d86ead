#!/usr/bin/env python3
"""PNG frames over loopback TCP: capture_server --handler tcp against ffmpeg's x11grab piping PNG
images, both read by the same raw reader (bench/tcpreader, which parses frames without decoding
them), on a private Xvfb showing the scene.

For each case it prints the frames per second delivered to the reader, the bytes per frame, and
the CPU milliseconds per delivered frame of the capturer and of the X server (read from
/proc/<pid>/stat over the reader's measuring window). bench/compare.py runs these cases for both
scene contents beside the JPEG files; this script alone runs the moving content:
1920x1080 at 30 fps and 640x480 at 60 fps.

Usage: bench/tcp_bench.py [--build DIR] [--seconds S] [--warmup S] [--no-ffmpeg]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402


def measure_reader(reader, watched, what, sender_log=None):
    """Follows the reader's output and samples the CPU of the `watched` pids over its window."""
    start = None
    for line in reader.stdout:
        line = line.strip()
        if line == "window start":
            start = benchlib.Sample(watched)
        elif line.startswith("result"):
            end = benchlib.Sample(watched)
            numbers = dict(zip(line.split()[1::2], line.split()[2::2]))
            if start is None or int(numbers["frames"]) == 0:
                benchlib.fail(f"{what}: no frame reached the reader in its measuring window" + sender_says(sender_log))
            cpu, wall, other = end.since(start)
            return {"frames": int(numbers["frames"]), "fps": float(numbers["fps"]),
                    "bytes": int(numbers["bytes_per_frame"]), "cpu": cpu, "wall": wall, "other": other,
                    "load": start.load}
    reader.wait()
    benchlib.fail(f"{what}: the reader ended without a result (status {reader.returncode})" + sender_says(sender_log))


def sender_says(log):
    """The end of a sender's console (an open file or a path), for a failure message."""
    if log is None:
        return ""
    if not isinstance(log, str):
        log.flush()
        log = log.name
    return benchlib.tail(log)


def finish(result, capturer, display):
    frames = result["frames"]
    result["capturer_ms"] = 1000.0 * result["cpu"][capturer] / frames
    result["x_ms"] = 1000.0 * result["cpu"][display.xvfb.pid] / frames
    result["total_ms"] = result["capturer_ms"] + result["x_ms"]
    return result


def run_server(build, display, area, fps, warmup, seconds, extra_pids=()):
    """capture_server --handler tcp on `area` (x, y, w, h) at `fps`, read by tcpreader."""
    what = f"capture_server PNG over TCP {area[2]}x{area[3]}@{fps}"
    work = tempfile.mkdtemp(prefix="tcp-bench-")
    try:
        server, log_path = benchlib.start_capture_server(
            build, display, work, ["--handler", "tcp", "--start", "--area", ",".join(map(str, area)), "--fps", str(fps)])
        with open(log_path) as f:
            port = re.search(r"^Port: (\d+)$", f.read(), re.M).group(1)
        reader = subprocess.Popen([benchlib.tool(build, os.path.join("bench", "tcpreader")),
                                   "--connect", f"127.0.0.1:{port}", "--warmup", str(warmup), "--seconds", str(seconds)],
                                  env=display.env, stdout=subprocess.PIPE, text=True)
        try:
            result = measure_reader(reader, [server.pid, display.xvfb.pid, display.scene.pid, reader.pid]
                                    + list(extra_pids), what, log_path)
        finally:
            benchlib.stop(reader)
        if server.poll() is not None:
            benchlib.fail(f"{what}: capture_server ended during the run (status {server.returncode})"
                          + benchlib.tail(log_path))
        benchlib.stop(server)
        display.check()
        with open(log_path, errors="replace") as f:
            result["not_ready"] = f.read().count("CLIENT NOT READY")
        return finish(result, server.pid, display)
    finally:
        benchlib.clean(work)


def run_ffmpeg(build, display, area, fps, warmup, seconds, extra_pids=()):
    """ffmpeg's x11grab piping PNG images of `area` at `fps` over TCP into tcpreader. An idle
    capture_server keeps its control window on the screen, so both grab the same picture."""
    what = f"ffmpeg PNG pipe {area[2]}x{area[3]}@{fps}"
    work = tempfile.mkdtemp(prefix="tcp-bench-ffmpeg-")
    idle = None
    try:
        idle, _ = benchlib.start_capture_server(build, display, work, [])
        reader = subprocess.Popen([benchlib.tool(build, os.path.join("bench", "tcpreader")), "--listen", "0",
                                   "--png-stream", "--warmup", str(warmup), "--seconds", str(seconds)],
                                  env=display.env, stdout=subprocess.PIPE, text=True)
        first = reader.stdout.readline().split()
        if len(first) != 2 or first[0] != "listening":
            benchlib.fail(f"{what}: the reader did not listen")
        x, y, w, h = area
        errors = open(os.path.join(work, "ffmpeg.log"), "w")
        ffmpeg = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", str(fps),
                                   "-video_size", f"{w}x{h}", "-i", f"{display.name}+{x},{y}", "-f", "image2pipe",
                                   "-c:v", "png", f"tcp://127.0.0.1:{first[1]}"],
                                  env=display.env, stdout=subprocess.DEVNULL, stderr=errors)
        try:
            result = measure_reader(reader, [ffmpeg.pid, display.xvfb.pid, display.scene.pid, reader.pid]
                                    + list(extra_pids), what, errors)
        finally:
            benchlib.stop(ffmpeg)
            benchlib.stop(reader)
        display.check()
        result["not_ready"] = 0
        return finish(result, ffmpeg.pid, display)
    finally:
        if idle is not None:
            benchlib.stop(idle)
        benchlib.clean(work)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    parser.add_argument("--seconds", type=float, default=10, help="measuring window per case")
    parser.add_argument("--warmup", type=float, default=3, help="seconds of frames before measuring")
    parser.add_argument("--no-ffmpeg", action="store_true", help="skip the ffmpeg comparison")
    args = parser.parse_args()
    build = benchlib.build_dir(args.build)
    if not args.no_ffmpeg:
        benchlib.ensure_ffmpeg()

    cases = [((0, 0, 1920, 1080), 30), ((680, 560, 640, 480), 60)]
    rows = []
    with benchlib.Display(content="moving", build=build) as display:
        for area, fps in cases:
            rows.append((f"capture_server {area[2]}x{area[3]}@{fps}",
                         run_server(build, display, area, fps, args.warmup, args.seconds)))
            if not args.no_ffmpeg:
                rows.append((f"ffmpeg png pipe {area[2]}x{area[3]}@{fps}",
                             run_ffmpeg(build, display, area, fps, args.warmup, args.seconds)))
    print(f"PNG over TCP, moving scene at 30 fps; {os.cpu_count()} cores; window {args.seconds:g} s after "
          f"{args.warmup:g} s of warm-up")
    print(f"{'case':<34}{'fps':>7}{'bytes/frame':>13}{'capturer ms':>13}{'X ms':>7}{'total ms':>10}"
          f"{'load':>7}{'other':>7}")
    for name, r in rows:
        print(f"{name:<34}{r['fps']:>7.2f}{r['bytes']:>13}{r['capturer_ms']:>13.1f}{r['x_ms']:>7.1f}"
              f"{r['total_ms']:>10.1f}{r['load']:>7.2f}{r['other']:>7.2f}")
    print("ms: CPU per delivered frame (user+system, all threads); load: 1-minute load average at the window's "
          "start; other: cores busy with processes outside the measurement during the window")


if __name__ == "__main__":
    main()
