#!/usr/bin/env python3
"""Pause and resume of a video recording, measured on the moving scene.

capture_server --handler video records the scene's top-left 640x480 at --fps; after --before
seconds SIGUSR1 pauses it, after --pause seconds SIGUSR1 resumes it, after --after seconds
SIGTERM stops it. Every frame of the file is read back (ffprobe for its time, ffmpeg for the
scene's tick counter in its top-left strip), and the scene's log gives each tick's monotonic
time, the clock the signals are sent on. Figures:
  - the file's span (last frame time - first) against the recorded span: the scene time between
    the ticks the first and last frame show, less the pause (signal to signal); the difference
    should be within one frame;
  - frames whose tick was put inside the pause (more than one scene tick after the pause signal
    and before the resume signal): should be none;
  - the step between the frames either side of the pause, the largest step between two frames
    (and whether capture_server skipped grabs), and the console's "Resumed after" line.

Usage: bench/pause_bench.py [--fps N] [--before S] [--pause S] [--after S] [--build DIR]
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

SCENE_FPS = 60
CELL = 16
BITS = 32


def frame_ticks(path):
    """The tick counter of every frame of the video, in order."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough", "-vf", f"crop={CELL * BITS}:{CELL}:0:0",
                          "-f", "rawvideo", "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
    size = CELL * BITS * CELL
    ticks = []
    for start in range(0, len(raw) - size + 1, size):
        row = raw[start + (CELL // 2) * CELL * BITS: start + (CELL // 2 + 1) * CELL * BITS]
        value = 0
        for bit in range(BITS):
            value = (value << 1) | (1 if row[bit * CELL + CELL // 2] > 128 else 0)
        ticks.append(value)
    return ticks


def frame_times(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                             "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    values = (t.strip(",") for t in result.stdout.split())
    return [float(t) for t in values if t not in ("", "N/A")]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--before", type=float, default=3.0)
    parser.add_argument("--pause", type=float, default=2.5)
    parser.add_argument("--after", type=float, default=3.0)
    parser.add_argument("--build")
    options = parser.parse_args()
    benchlib.ensure_ffmpeg()
    build = benchlib.build_dir(options.build)
    with tempfile.TemporaryDirectory() as work:
        scene_log = os.path.join(work, "scene.log")
        with benchlib.Display(scene_fps=SCENE_FPS, scene_log=scene_log, build=build) as display:
            proc, log = benchlib.start_capture_server(build, display, work, [
                "-geometry", "400x500+1400+0", "--handler", "video", "--area", "0,0,640,480",
                "--fps", str(options.fps), "--start"])
            benchlib.wait_for_line(log, r"^Recording: ", 30, "the recording", proc)
            time.sleep(options.before)
            paused_at = time.monotonic()
            proc.send_signal(signal.SIGUSR1)
            time.sleep(options.pause)
            resumed_at = time.monotonic()
            proc.send_signal(signal.SIGUSR1)
            time.sleep(options.after)
            proc.send_signal(signal.SIGTERM)
            status = proc.wait(60)
            display.check()
        with open(log, errors="replace") as f:
            console = f.read()
        if status != 0:
            benchlib.fail(f"capture_server ended with status {status}" + benchlib.tail(log))
        video = os.path.join(work, "capture", "capture0.mkv")
        ticks = frame_ticks(video)
        times = frame_times(video)
        tick_ms = {}
        with open(scene_log) as f:
            for line in f:
                tick, ms = line.split()
                tick_ms[int(tick)] = int(ms)
    if len(ticks) != len(times) or len(ticks) < 2:
        benchlib.fail(f"{len(ticks)} frames decoded, {len(times)} frame times")
    unknown = [i for i, t in enumerate(ticks) if t not in tick_ms]
    if unknown:
        print(f"frames whose counter does not read as a logged tick: {unknown}")
    pause_ms = (resumed_at - paused_at) * 1000.0
    known = [i for i, t in enumerate(ticks) if t in tick_ms]
    first, last = known[0], known[-1]
    scene_span = tick_ms[ticks[last]] - tick_ms[ticks[first]]
    recorded_span = scene_span - pause_ms
    file_span = (times[last] - times[first]) * 1000.0
    frame_ms = 1000.0 / options.fps
    slack = 1000.0 / SCENE_FPS  # a tick put just before the pause signal may be grabbed after it
    inside = [t for t in ticks if t in tick_ms and paused_at * 1000 + slack < tick_ms[t] < resumed_at * 1000 - slack]
    steps = [b - a for a, b in zip(times, times[1:])]
    # The step across the pause: into the first frame whose tick was put after the resume.
    after = next((i for i in known if tick_ms[ticks[i]] > resumed_at * 1000), None)
    join = (times[after] - times[after - 1]) * 1000.0 if after else float("nan")
    longest = max(range(len(steps)), key=lambda i: steps[i])
    resumed = re.search(r"^Resumed after .*$", console, re.M)
    print(f"frames in the file: {len(times)} at {options.fps} fps; pause {pause_ms:.0f} ms (signal to signal)")
    print(f"console: {resumed.group(0) if resumed else 'no Resumed line'}")
    print(f"file span {file_span:.0f} ms, scene span {scene_span:.0f} ms less the pause {recorded_span:.0f} ms: "
          f"difference {file_span - recorded_span:+.0f} ms (one frame: {frame_ms:.0f} ms)")
    print(f"frames showing a tick put inside the pause: {len(inside)}")
    print(f"step across the pause: {join:.0f} ms; largest step between frames: {steps[longest] * 1000.0:.0f} ms "
          f"(at {times[longest] - times[0]:.2f} s of the file; skipped grabs: "
          f"{'yes' if 'Capture slower than the target rate' in console else 'no'})")


if __name__ == "__main__":
    main()
