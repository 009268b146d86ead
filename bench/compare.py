#!/usr/bin/env python3
"""capture_server side by side with ffmpeg's x11grab, on the same Xvfb, area and rate, in one run.

Two contents of bench/scene, each pushed at 30 fps with X shared-memory puts:
  (a) moving   everything on the 1920x1080 screen moves; the whole screen is captured
  (b) desktop  a still desktop with one 320x180 video playing; captured as the 1240x1080 region
               at x=680, right of capture_server's control window
For each content:
  JPEG files    capture_server --handler saver against `ffmpeg -f x11grab ... -q:v 6 img%d.jpg`:
                achieved fps from the files' modification times
  PNG over TCP  capture_server --handler tcp against ffmpeg's PNG image pipe over TCP, both read
                by bench/tcpreader: fps delivered to the reader
and for every row the CPU milliseconds per frame of the capturer plus the X server's (from
/proc/<pid>/stat), the ratio to ffmpeg, the load average and the other load on the machine.
A last row streams PNG over TCP from a 640x480 area at 60 fps.

Usage: bench/compare.py [--fps 30|60] [--busy] [--busy-core N] [--only a|b] [--frames N]
                        [--no-small] [--build DIR]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
import tcp_bench  # noqa: E402

CONTENTS = {
    "a": {"scene": "moving", "area": (0, 0, 1920, 1080), "small": (680, 560, 640, 480),
          "title": "(a) moving: the whole 1920x1080 screen"},
    "b": {"scene": "desktop", "area": (680, 0, 1240, 1080), "small": (1280, 400, 640, 480),
          "title": "(b) desktop: still 1240x1080 region at x=680 with a 320x180 video"},
}
SMALL_FPS = 60
TCP_WARMUP_S = 3.0
FILE_PATTERN = re.compile(r"^(?:pic|img)(\d+)\.jpg$")


def jpeg_files(folder):
    """Numbered JPEG files in `folder` as (number, path), in number order."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        match = FILE_PATTERN.match(name)
        if match:
            found.append((int(match.group(1)), os.path.join(folder, name)))
    return sorted(found)


def measure_files(proc, folder, watched, warmup, frames, what, explain=lambda: ""):
    """Follows the JPEG files a capturer writes into `folder`: samples CPU once `warmup` files
    exist and again after `frames` more; the rate comes from the files' modification times."""
    start = None
    last_count, last_change = 0, time.monotonic()
    while True:
        count = len(jpeg_files(folder))
        now = time.monotonic()
        if count != last_count:
            last_count, last_change = count, now
        if start is None and count >= warmup:
            start, start_count = benchlib.Sample(watched), count
        if start is not None and count >= start_count + frames:
            end, end_count = benchlib.Sample(watched), count
            break
        if proc.poll() is not None:
            benchlib.fail(f"{what}: the capturer ended (status {proc.returncode}) after {count} files" + explain())
        if now - last_change > 15:
            benchlib.fail((f"{what}: no new file for 15 s ({count} files written)" if count else
                           f"{what}: no file written in 15 s") + explain())
        time.sleep(0.02)
    files = jpeg_files(folder)
    window = [path for number, path in files[start_count:end_count]]
    times = sorted(os.stat(path).st_mtime_ns for path in window)
    if len(times) < 2 or times[-1] <= times[0]:
        benchlib.fail(f"{what}: too few files in the measuring window")
    cpu, wall, other = end.since(start)
    written = end_count - start_count
    return {"frames": written, "fps": (len(times) - 1) / ((times[-1] - times[0]) / 1e9), "cpu": cpu, "wall": wall,
            "other": other, "load": start.load, "bytes": sum(os.path.getsize(p) for p in window) // len(window)}


def per_frame(result, capturer, display):
    frames = result["frames"]
    result["capturer_ms"] = 1000.0 * result["cpu"][capturer] / frames
    result["x_ms"] = 1000.0 * result["cpu"][display.xvfb.pid] / frames
    result["total_ms"] = result["capturer_ms"] + result["x_ms"]
    return result


def jpeg_server(build, display, area, fps, frames, extra):
    what = f"capture_server JPEG files {area[2]}x{area[3]}@{fps}"
    work = tempfile.mkdtemp(prefix="compare-saver-", dir=os.environ.get("BENCH_TMP", "/tmp"))
    try:
        server, log_path = benchlib.start_capture_server(
            build, display, work, ["--handler", "saver", "--start", "--area", ",".join(map(str, area)), "--fps", str(fps)])
        try:
            result = measure_files(server, os.path.join(work, "capture"),
                                   [server.pid, display.xvfb.pid, display.scene.pid] + extra, int(1.5 * fps), frames,
                                   what, lambda: benchlib.tail(log_path))
        finally:
            benchlib.stop(server)
        display.check()
        return per_frame(result, server.pid, display)
    finally:
        benchlib.clean(work)


def jpeg_ffmpeg(build, display, area, fps, frames, extra):
    what = f"ffmpeg JPEG files {area[2]}x{area[3]}@{fps}"
    work = tempfile.mkdtemp(prefix="compare-ffmpeg-", dir=os.environ.get("BENCH_TMP", "/tmp"))
    idle = None
    try:
        idle, _ = benchlib.start_capture_server(build, display, work, [])  # the same control window on screen
        out = os.path.join(work, "out")
        os.mkdir(out)
        x, y, w, h = area
        warmup = int(1.5 * fps)
        errors = open(os.path.join(work, "ffmpeg.log"), "w")
        ffmpeg = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", str(fps),
                                   "-video_size", f"{w}x{h}", "-i", f"{display.name}+{x},{y}", "-q:v", "6",
                                   "-frames:v", str(warmup + frames + 10), os.path.join(out, "img%d.jpg")],
                                  env=display.env, stdout=subprocess.DEVNULL, stderr=errors)
        try:
            result = measure_files(ffmpeg, out, [ffmpeg.pid, display.xvfb.pid, display.scene.pid] + extra, warmup,
                                   frames, what, lambda: tcp_bench.sender_says(errors))
        finally:
            benchlib.stop(ffmpeg)
        display.check()
        return per_frame(result, ffmpeg.pid, display)
    finally:
        if idle is not None:
            benchlib.stop(idle)
        benchlib.clean(work)


def row(name, r, ratio=None):
    ratio_text = f"{ratio:>7.2f}" if ratio is not None else f"{'':>7}"
    return (f"  {name:<34}{r['fps']:>7.2f}{r['capturer_ms']:>10.1f}{r['x_ms']:>7.1f}{r['total_ms']:>8.1f}"
            f"{ratio_text}{r['bytes'] / 1024:>9.0f}{r['load']:>6.2f}{r['other']:>7.2f}")


HEADER = (f"  {'':<34}{'fps':>7}{'capt ms':>10}{'X ms':>7}{'total':>8}{'ratio':>7}{'KB/frame':>9}"
          f"{'load':>6}{'other':>7}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fps", type=int, default=30, help="capture rate of both capturers (default 30; 60 too)")
    parser.add_argument("--busy", action="store_true", help="another process keeps one core busy (not pinned)")
    parser.add_argument("--busy-core", type=int, metavar="N", help="as --busy, the spinner pinned to core N")
    parser.add_argument("--only", choices=sorted(CONTENTS), help="one content only")
    parser.add_argument("--frames", type=int, default=240,
                        help="frames measured per JPEG run, and the TCP window in frames at the rate (default 240)")
    parser.add_argument("--scene-fps", type=int, default=30, help="rate of the scene's content (default 30)")
    parser.add_argument("--no-small", action="store_true", help="skip the 640x480 at 60 fps row")
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    opts = parser.parse_args()
    if not 1 <= opts.fps <= 60:
        benchlib.fail("--fps must be from 1 to 60")
    if opts.frames < 10:
        benchlib.fail("--frames must be at least 10")

    build = benchlib.build_dir(opts.build)
    for program in (os.path.join("bench", "scene"), os.path.join("bench", "tcpreader")):
        benchlib.tool(build, program)
    benchlib.ensure_ffmpeg()
    seconds = max(5.0, opts.frames / opts.fps)

    spinner = None
    if opts.busy or opts.busy_core is not None:
        if opts.busy_core is not None and opts.busy_core not in os.sched_getaffinity(0):
            benchlib.fail(f"--busy-core {opts.busy_core}: no such core here")
        spinner = benchlib.Spinner(opts.busy_core)
    extra = [spinner.pid] if spinner else []
    started = time.monotonic()
    print(f"capture_server against ffmpeg x11grab: {opts.fps} fps, scene at {opts.scene_fps} fps, "
          f"{os.cpu_count()} cores, load average {benchlib.load_average():.2f} at start; "
          f"{spinner.describe() if spinner else 'no busy process'}", flush=True)
    print(HEADER, flush=True)
    verdicts = []
    try:
        for key in sorted(CONTENTS):
            if opts.only and key != opts.only:
                continue
            content = CONTENTS[key]
            area = content["area"]
            with benchlib.Display(scene_fps=opts.scene_fps, content=content["scene"], build=build) as display:
                print(f"{content['title']} at {opts.fps} fps", flush=True)
                ours = jpeg_server(build, display, area, opts.fps, opts.frames, extra)
                theirs = jpeg_ffmpeg(build, display, area, opts.fps, opts.frames, extra)
                jpeg_ratio = ours["total_ms"] / theirs["total_ms"]
                print(row("JPEG files capture_server", ours, jpeg_ratio), flush=True)
                print(row("JPEG files ffmpeg -q:v 6", theirs), flush=True)
                ours_tcp = tcp_bench.run_server(build, display, area, opts.fps, TCP_WARMUP_S, seconds, extra)
                theirs_tcp = tcp_bench.run_ffmpeg(build, display, area, opts.fps, TCP_WARMUP_S, seconds, extra)
                tcp_ratio = ours_tcp["total_ms"] / theirs_tcp["total_ms"]
                print(row("PNG over TCP capture_server", ours_tcp, tcp_ratio)
                      + (f"  ({ours_tcp['not_ready']} ticks found the reader not ready)" if ours_tcp["not_ready"]
                         else ""), flush=True)
                print(row("PNG over TCP ffmpeg png pipe", theirs_tcp), flush=True)
                verdicts += goals(key, opts, spinner, ours, jpeg_ratio, ours_tcp, tcp_ratio)
                small_here = not opts.no_small and (key == "a" or opts.only == "b")
                if small_here:
                    small = content["small"]
                    print(f"{key} 640x480 area at {small[0]},{small[1]}, {SMALL_FPS} fps", flush=True)
                    s_ours = tcp_bench.run_server(build, display, small, SMALL_FPS, TCP_WARMUP_S, max(5.0, seconds / 2),
                                                  extra)
                    s_theirs = tcp_bench.run_ffmpeg(build, display, small, SMALL_FPS, TCP_WARMUP_S,
                                                    max(5.0, seconds / 2), extra)
                    print(row("PNG over TCP capture_server", s_ours, s_ours["total_ms"] / s_theirs["total_ms"]),
                          flush=True)
                    print(row("PNG over TCP ffmpeg png pipe", s_theirs), flush=True)
                    if spinner is None:
                        verdicts.append(verdict(f"PNG over TCP 640x480 at {SMALL_FPS} fps delivered", s_ours["fps"],
                                                ">=", 61.9))
    finally:
        if spinner:
            spun = benchlib.cpu_seconds(spinner.pid) / max(1e-9, time.monotonic() - started)
            spinner.close()
    if spinner:
        print(f"the busy process used {spun:.2f} cores on average over the run")
    print("fps: JPEG from the files' times, TCP as delivered to the reader; capt ms / X ms: CPU per frame of the "
          "capturer / of the X server (user+system); total: their sum; ratio: total against ffmpeg's; "
          "load: 1-minute load average at the window's start; other: cores busy outside the measured processes "
          "(the scene, the reader and a busy spinner are measured too, so they are not in it)")
    if verdicts:
        print("figures to reach:")
        for line in verdicts:
            print("  " + line)
    print(f"run took {time.monotonic() - started:.0f} s")


def verdict(what, value, op, goal):
    ok = value <= goal if op == "<=" else value >= goal
    return f"{what}: {value:.2f} ({op} {goal}) {'met' if ok else 'NOT met'}"


def goals(key, opts, spinner, jpeg, jpeg_ratio, tcp, tcp_ratio):
    """The targets that this run's settings measure."""
    out = []
    if spinner is None:
        out.append(verdict(f"({key}) JPEG CPU ratio", jpeg_ratio, "<=", {"a": 0.6, "b": 0.3}[key]))
        out.append(verdict(f"({key}) PNG over TCP CPU ratio", tcp_ratio, "<=", {"a": 0.4, "b": 0.3}[key]))
    if opts.fps == 30:
        out.append(verdict(f"({key}) PNG over TCP delivered fps{' (busy core)' if spinner else ''}", tcp["fps"],
                           ">=", 29.7))
        if key == "a" and spinner:
            out.append(verdict("(a) JPEG files fps (busy core)", jpeg["fps"], ">=", 29.7))
    if opts.fps == 60 and spinner is None:
        if key == "b":
            out.append(verdict("(b) PNG over TCP delivered fps at 60", tcp["fps"], ">=", 59))
        if key == "a":
            out.append(verdict("(a) JPEG files fps at 60", jpeg["fps"], ">=", 61.9))
    return out


if __name__ == "__main__":
    main()
