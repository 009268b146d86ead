#!/usr/bin/env python3
"""Benchmark of capture_server with the JPEG saver on a private Xvfb showing a moving scene.

For each configuration it prints the achieved rate (from the "Captures/s " lines and from the
files written), capture_server's CPU milliseconds per frame and its peak resident memory.
The CPU and rate figures leave out the first frames (start-up, first GL upload).

Usage: bench/capture_bench.py [--quick] [--long]
  --long   also runs 9,000 frames at 1920x1080 to show that memory stays bounded
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

WARMUP = 30


def run(display, width, height, fps, frames, rss_marks=()):
    work = tempfile.mkdtemp(prefix="capture-bench-", dir=os.environ.get("BENCH_TMP", "/tmp"))
    exe = os.path.join(benchlib.build_dir(), "capture_server", "capture_server")
    # The control window goes where it does not cover the captured area's top-left.
    args = [exe, "-geometry", "400x500+1500+500", "--port", "0", "--area", f"0,0,{width},{height}",
            "--fps", str(fps), "--handler", "saver", "--start"]
    proc = subprocess.Popen(args, cwd=work, env=display.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True, bufsize=1)
    rates = []
    written = 0
    cpu0 = t0 = None
    marks = {}
    for line in proc.stdout:
        if line.startswith("Captures/s "):
            if written >= WARMUP:
                rates.append(float(line.split()[1]))
        elif line.startswith("Writing: "):
            written += 1
            if written == WARMUP:
                cpu0, t0 = benchlib.cpu_seconds(proc.pid), time.monotonic()
            if written in rss_marks:
                marks[written] = benchlib.peak_rss_mb(proc.pid)
            if written == frames:
                cpu1, t1 = benchlib.cpu_seconds(proc.pid), time.monotonic()
                peak = benchlib.peak_rss_mb(proc.pid)
                break
    benchlib.stop(proc)
    counted = frames - WARMUP
    # Rate from the files: their modification times span (counted - 1) intervals.
    files = sorted((os.path.join(work, "capture", f) for f in os.listdir(os.path.join(work, "capture"))),
                   key=os.path.getmtime)
    mtimes = [os.path.getmtime(f) for f in files[WARMUP:frames]]
    file_fps = (len(mtimes) - 1) / (mtimes[-1] - mtimes[0]) if len(mtimes) > 1 else float("nan")
    line_fps = len(rates) / sum(1.0 / r for r in rates) if rates else float("nan")
    result = {
        "config": f"{width}x{height} @ {fps} fps, saver, {frames} frames",
        "timer_fps": 1000.0 / (1000 // fps),
        "line_fps": line_fps,
        "file_fps": file_fps,
        "wall_fps": counted / (t1 - t0),
        "cpu_ms": 1000.0 * (cpu1 - cpu0) / counted,
        "peak_rss_mb": peak,
        "files": len(files),
        "marks": marks,
    }
    benchlib.clean(work)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--long", action="store_true")
    parser.add_argument("--quick", action="store_true", help="fewer frames per configuration")
    parser.add_argument("--config", action="append", default=[],
                        help="WIDTHxHEIGHT@FPS:FRAMES instead of the default set (repeatable)")
    opts = parser.parse_args()
    n = 200 if opts.quick else 600
    configs = [(640, 480, 60, n), (1920, 1080, 30, n // 2 if opts.quick else 900)]
    if opts.config:
        configs = []
        for item in opts.config:
            size, rest = item.split("@")
            fps, frames = rest.split(":")
            w, h = size.split("x")
            configs.append((int(w), int(h), int(fps), int(frames)))
    with benchlib.Display(scene_fps=30) as display:
        results = [run(display, *c, rss_marks=(900, 3000, 6000)) for c in configs]
        if opts.long:
            results.append(run(display, 1920, 1080, 30, 9000, rss_marks=(900, 3000, 6000)))
    for r in results:
        print(f"{r['config']}: timer {r['timer_fps']:.1f} fps; achieved {r['line_fps']:.2f} fps (rate lines), "
              f"{r['file_fps']:.2f} fps (files), {r['wall_fps']:.2f} fps (wall); "
              f"CPU {r['cpu_ms']:.2f} ms/frame; peak RSS {r['peak_rss_mb']:.0f} MB"
              + (f"; peak RSS at frames {r['marks']}" if r["marks"] else ""))


if __name__ == "__main__":
    main()
