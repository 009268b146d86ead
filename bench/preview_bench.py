#!/usr/bin/env python3
"""The preview's cost: CPU per shown 640x480 frame of the process plus the X server.

bench/previewbench shows the same frames at 30 Hz in a window laid out like the control window
(the frame label changes every frame) on a private Xvfb, once per way of drawing:
  raster   the preview paints a resampled image (what software OpenGL gets)
  opengl   the preview draws in a native OpenGL child window (what a GPU gets)
  widget   a QOpenGLWidget in the window, as the preview was before
  plain    a QWidget painting the whole frame (already of its size) with QPainter::drawImage:
           the least any preview costs here, the yardstick for raster
and prints, per way and content (moving: every band changes; part: a 320x180 video), frames
shown of those handed in and CPU ms per shown frame: the program, the X server, both.

Each configuration runs --repeat times, interleaved with the others; the figures are of the run
with the least total (other processes on the machine only ever add to a run's cost) and the
median total follows in brackets.

Usage: bench/preview_bench.py [--frames N] [--repeat N] [--preview WxH] [--modes plain,raster,opengl,widget]
                              [--contents moving,part] [--build DIR]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402


def start_xvfb():
    number = benchlib.Display._free_display()
    name = f":{number}"
    xvfb = subprocess.Popen(["Xvfb", name, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    socket = f"/tmp/.X11-unix/X{number}"
    for _ in range(200):
        if os.path.exists(socket) or xvfb.poll() is not None:
            break
        time.sleep(0.05)
    if not os.path.exists(socket):
        benchlib.stop(xvfb)
        benchlib.fail(f"Xvfb did not start on {name}")
    return xvfb, name


def run(program, display, xvfb, mode, content, frames, preview):
    runtime = f"/tmp/runtime-{os.getuid()}"
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb")
    proc = subprocess.Popen([program, "--mode", mode, "--content", content, "--frames", str(frames),
                             "--preview", preview], env=env, stdout=subprocess.PIPE, text=True)
    x_start = None
    result = None
    for line in proc.stdout:
        if line.startswith("measuring"):
            x_start = benchlib.cpu_seconds(xvfb.pid)
        elif line.startswith("done"):
            x_ms = (benchlib.cpu_seconds(xvfb.pid) - x_start) * 1000.0
            _, shown, own_ms = line.split()
            result = (int(shown), float(own_ms), x_ms)
    proc.wait()
    if proc.returncode != 0 or result is None:
        benchlib.fail(f"previewbench --mode {mode} ended with status {proc.returncode}")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=300, help="frames measured per run (default 300, 10 s)")
    parser.add_argument("--preview", default="640x480", help="size of the preview (default 640x480)")
    parser.add_argument("--modes", default="plain,raster,opengl,widget")
    parser.add_argument("--contents", default="moving,part")
    parser.add_argument("--repeat", type=int, default=3, help="runs per configuration (default 3)")
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    args = parser.parse_args()
    build = benchlib.build_dir(args.build, os.path.join("bench", "previewbench"))
    program = benchlib.tool(build, os.path.join("bench", "previewbench"))
    benchlib.require("Xvfb", "apt-get install xvfb")
    xvfb, display = start_xvfb()
    try:
        print(f"preview {args.preview}, 640x480 frames at 30 Hz, {args.frames} frames a run, "
              f"best of {args.repeat} runs [median total]")
        print(f"{'way':8} {'content':8} {'shown':>7} {'program':>9} {'X server':>9} {'total':>9}  (CPU ms per shown frame)")
        configs = [(content, mode) for content in args.contents.split(",") for mode in args.modes.split(",")]
        runs = {config: [] for config in configs}
        for _ in range(args.repeat):
            for content, mode in configs:
                shown, own_ms, x_ms = run(program, display, xvfb, mode, content, args.frames, args.preview)
                per = max(shown, 1)
                runs[(content, mode)].append((shown, own_ms / per, x_ms / per))
        for content, mode in configs:
            results = sorted(runs[(content, mode)], key=lambda r: r[1] + r[2])
            shown, own, x = results[0]
            median = statistics.median(r[1] + r[2] for r in results)
            print(f"{mode:8} {content:8} {shown:>3}/{args.frames:<3} {own:9.2f} {x:9.2f} {own + x:9.2f}  [{median:.2f}]",
                  flush=True)
    finally:
        benchlib.stop(xvfb)


if __name__ == "__main__":
    main()
