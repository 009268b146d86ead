#!/usr/bin/env python3
"""capture_server side by side with ffmpeg's x11grab, on the same Xvfb scene, area and rate.

1. JPEG files at 1920x1080, 30 fps: capture_server with the saver against
   `ffmpeg -f x11grab ... -q:v 6 out/img%d.jpg` (-q:v 6 matches the saver's default quality in
   size). Prints achieved fps, CPU ms per frame and peak RSS of both, and the ratios.
2. PNG over TCP: runs bench/tcp_bench.py, which measures capture_server --handler tcp and
   ffmpeg's PNG image pipe over TCP against the same raw reader in one run.

Usage: bench/compare.py [--frames N] [--skip-tcp]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
import capture_bench  # noqa: E402

WARMUP = capture_bench.WARMUP


def run_ffmpeg_jpeg(display, width, height, fps, frames):
    out = tempfile.mkdtemp(prefix="ffmpeg-jpeg-")
    args = ["ffmpeg", "-loglevel", "error", "-f", "x11grab", "-framerate", str(fps), "-video_size",
            f"{width}x{height}", "-i", f"{display.name}+0,0", "-q:v", "6", "-frames:v", str(frames + 5),
            os.path.join(out, "img%d.jpg")]
    proc = subprocess.Popen(args, env=display.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cpu0 = t0 = cpu1 = t1 = None
    peak = float("nan")
    while proc.poll() is None:
        count = len(os.listdir(out))
        if cpu0 is None and count >= WARMUP:
            cpu0, t0 = benchlib.cpu_seconds(proc.pid), time.monotonic()
        if count >= frames:
            cpu1, t1 = benchlib.cpu_seconds(proc.pid), time.monotonic()
            peak = benchlib.peak_rss_mb(proc.pid)
            break
        time.sleep(0.005)
    benchlib.stop(proc)
    benchlib.clean(out)
    counted = frames - WARMUP
    return {"fps": counted / (t1 - t0), "cpu_ms": 1000.0 * (cpu1 - cpu0) / counted, "peak_rss_mb": peak}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=330)
    parser.add_argument("--skip-tcp", action="store_true")
    opts = parser.parse_args()
    if subprocess.call(["which", "ffmpeg"], stdout=subprocess.DEVNULL) != 0:
        subprocess.check_call(["apt-get", "install", "-y", "--no-install-recommends", "ffmpeg"])

    with benchlib.Display(scene_fps=30) as display:
        ours = capture_bench.run(display, 1920, 1080, 30, opts.frames)
        theirs = run_ffmpeg_jpeg(display, 1920, 1080, 30, opts.frames)
    print("JPEG files, 1920x1080 @ 30 fps:")
    print(f"  capture_server: {ours['file_fps']:.2f} fps, CPU {ours['cpu_ms']:.2f} ms/frame, "
          f"peak RSS {ours['peak_rss_mb']:.0f} MB")
    print(f"  ffmpeg x11grab: {theirs['fps']:.2f} fps, CPU {theirs['cpu_ms']:.2f} ms/frame, "
          f"peak RSS {theirs['peak_rss_mb']:.0f} MB")
    print(f"  CPU per frame ratio (capture_server / ffmpeg): {ours['cpu_ms'] / theirs['cpu_ms']:.2f}")
    sys.stdout.flush()
    if not opts.skip_tcp:
        print("PNG over TCP:")
        sys.stdout.flush()
        subprocess.call([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tcp_bench.py")])


if __name__ == "__main__":
    main()
