#!/usr/bin/env python3
"""Every row of the frame-rate and cost table in one run, each against its goal, with the load
average at the start, beside each figure and at the end. The rows are measured by the other
benchmarks' functions, on private Xvfb screens showing bench/scene (llvmpipe where OpenGL is
drawn), the peer being ffmpeg's x11grab at its defaults where a row has one:

  viewer      stream_viewer beside capture_server, the whole moving 1920x1080 at 30 fps:
              distinct scene frames shown a second, median grab-to-display (viewer_bench.run)
  launch      stream_viewer --frames 600 on a 640x480 area at 60 fps: frames shown a second from
              its launch to the last (viewer_bench.launch_rate)
  web         the web view in a headless Chromium: distinct frames the page drew a second, the
              whole moving screen and the desk region (web_bench.measure)
  jpeg        JPEG files: CPU per frame of the capturer and the X server against ffmpeg -q:v 6,
              moving screen and desk region (compare.jpeg_server / jpeg_ffmpeg)
  video       video file at the default settings against ffmpeg's libx264 at the same CRF and
              preset: size a frame (the peer's file holding our live preview too), CPU a frame,
              both contents (video_bench.run_ours / run_ffmpeg)
  tcp         PNG over TCP of the whole moving screen at 30 fps with one core kept busy by
              another process: frames a second delivered (tcp_bench.run_server / run_ffmpeg)

Usage: bench/last_fps.py [--quick] [--seconds S] [--only ROW[,ROW...]] [--build DIR]
--quick measures each row for a few seconds (the whole run in about five minutes): a check that
everything runs, not figures to quote.
"""
import argparse
import os
import sys
import tempfile
import time
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
import compare  # noqa: E402
import tcp_bench  # noqa: E402
import video_bench  # noqa: E402
import viewer_bench  # noqa: E402
import web_bench  # noqa: E402

ROWS = ("viewer", "launch", "web", "jpeg", "video", "tcp")
NAME_WIDTH = 58


class Table:
    """Prints one line a figure as it comes: ours, the peer's, their ratio, the goal, met or not."""

    def __init__(self):
        self.verdicts = []
        print(f"{'':<{NAME_WIDTH}}{'ours':>9}{'peer':>9}{'ratio':>7}  {'goal':<10}{'':<8}load")

    def figure(self, name, ours, goal_op, goal, load, peer=None, unit="", ratio_goal=False):
        """`goal` applies to the ratio when `ratio_goal`, else to `ours` itself."""
        ratio = ours / peer if peer else None
        value = ratio if ratio_goal else ours
        met = value >= goal if goal_op == ">=" else value < goal if goal_op == "<" else value <= goal
        self.verdicts.append(met)
        peer_text = f"{peer:.2f}" if peer is not None else ""
        ratio_text = f"{ratio:.2f}x" if ratio is not None else ""
        goal_text = f"{goal_op} {goal:g}{'x' if ratio_goal else unit}"
        print(f"{name:<{NAME_WIDTH}}{ours:>9.2f}{peer_text:>9}{ratio_text:>7}  {goal_text:<10}"
              f"{'met' if met else 'NOT met':<8}{load:.2f}", flush=True)

    def note(self, text):
        print(f"    {text}", flush=True)


def row_viewer(build, opts, table):
    load = benchlib.load_average()
    r = viewer_bench.run(build, 1920, 1080, 30, opts.seconds, alone=False)
    name = "viewer 1920x1080@30 beside the server: distinct fps shown"
    table.figure(name, r["distinct_fps"], ">=", 29, load)
    table.figure("viewer 1920x1080@30: median grab-to-display ms", r["median"], "<", 50, load, unit=" ms")
    table.note(f"{r['displayed_fps']:.1f} frames painted a second, scene {r['scene_fps']:.1f}/s, p90 "
               f"{r['p90']:.0f} ms; CPU server {r['cpu']['server']:.0f} %, viewer {r['cpu']['viewer']:.0f} %; "
               f"server: {r['ticks']} captures, {r['sent']} sent, viewer received {r['received']}")


def row_launch(build, opts, table):
    r = viewer_bench.launch_rate(build, 640, 480, 60, opts.launch_frames)
    table.figure(f"viewer 640x480@60: {opts.launch_frames} frames, launch to the last (fps)", r["fps"], ">=", 55,
                 r["load"])
    table.note(f"last frame on screen {r['until_last_s']:.2f} s after the launch, exit after "
               f"{r['until_exit_s']:.2f} s; {r['distinct_fps']:.1f} distinct scene frames a second")


def row_web(build, opts, table):
    for key, goal in (("a", 25), ("b", 29)):
        r = web_bench.measure(build, key, max(3, int(opts.seconds)))
        table.figure(f"browser, {r['content']} {r['area']}: distinct fps drawn", r["shown_fps"], ">=", goal, r["load"])
        table.note(f"page rate {r['page_fps']:.1f}/s; captured {r['captured_fps']:.1f}/s; capture_server "
                   f"{r['watched_ms']:.1f} ms a frame watched; browser {r['browser_cores']:.2f} cores")


def row_jpeg(build, opts, table):
    for key, goal in (("a", 0.6), ("b", 0.3)):
        content = compare.CONTENTS[key]
        with benchlib.Display(scene_fps=30, content=content["scene"], build=build) as display:
            ours = compare.jpeg_server(build, display, content["area"], 30, opts.jpeg_frames, [])
            peer = compare.jpeg_ffmpeg(build, display, content["area"], 30, opts.jpeg_frames, [])
        table.figure(f"JPEG files, {content['scene']}: CPU ms a frame (with X)", ours["total_ms"], "<=", goal,
                     ours["load"], peer=peer["total_ms"], ratio_goal=True)
        table.note(f"ours {ours['fps']:.1f} fps, {ours['bytes'] / 1024:.0f} KB; peer {peer['fps']:.1f} fps, "
                   f"{peer['bytes'] / 1024:.0f} KB (load {peer['load']:.2f})")


def row_video(build, opts, table):
    settings = SimpleNamespace(fps=30, preset="veryfast", quality=23, seconds=opts.seconds)
    base = os.environ.get("BENCH_TMP", "/tmp")
    for key in ("a", "b"):
        content = compare.CONTENTS[key]
        work, work2 = tempfile.mkdtemp(prefix="lastfps-video-", dir=base), tempfile.mkdtemp(prefix="lastfps-ff-", dir=base)
        try:
            with benchlib.Display(scene_fps=30, content=content["scene"], build=build) as display:
                ours = video_bench.run_ours(build, display, content["area"], settings, work)
                peer = video_bench.run_ffmpeg(build, display, content["area"], settings, work2)
                benchlib.clean(work2)
                os.makedirs(work2)
                mirrored = video_bench.run_ffmpeg(build, display, content["area"], settings, work2, mirror=True)
        finally:
            benchlib.clean(work)
            benchlib.clean(work2)
        table.figure(f"video file, {content['scene']}: KB a frame", ours["bytes_frame"] / 1024, "<=", 1.1,
                     ours["load"], peer=mirrored["bytes_frame"] / 1024, ratio_goal=True)
        table.figure(f"video file, {content['scene']}: CPU ms a frame (with X)", ours["total"], "<=", 0.8,
                     ours["load"], peer=peer["total"], ratio_goal=True)
        table.note(f"ours {ours['fps']:.1f} fps in the file, peer {peer['fps']:.1f} (load {peer['load']:.2f}); the "
                   f"peer's size beside a live preview as ours ({mirrored['fps']:.1f} fps), beside an idle window "
                   f"{peer['bytes_frame'] / 1024:.1f} KB a frame")


def row_tcp(build, opts, table):
    spinner = benchlib.Spinner()
    try:
        with benchlib.Display(content="moving", build=build) as display:
            area = compare.CONTENTS["a"]["area"]
            ours = tcp_bench.run_server(build, display, area, 30, 3.0, opts.seconds, [spinner.pid])
            peer = tcp_bench.run_ffmpeg(build, display, area, 30, 3.0, opts.seconds, [spinner.pid])
    finally:
        spinner.close()
    table.figure("PNG over TCP 1920x1080@30, one core busy: fps delivered", ours["fps"], ">=", 29.7, ours["load"],
                 peer=peer["fps"])
    table.note(f"CPU ms a frame with X: ours {ours['total_ms']:.1f}, peer {peer['total_ms']:.1f}; "
               f"{ours['not_ready']} ticks found the reader not ready; {spinner.describe()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a few seconds a row: checks the run, not the figures")
    parser.add_argument("--seconds", type=float, help="measuring window of the timed rows (default 15, quick 4)")
    parser.add_argument("--only", help="comma-separated rows: " + ", ".join(ROWS))
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    opts = parser.parse_args()
    rows = opts.only.split(",") if opts.only else list(ROWS)
    unknown = [r for r in rows if r not in ROWS]
    if unknown:
        benchlib.fail(f"--only: no row {', '.join(unknown)} (rows: {', '.join(ROWS)})")
    opts.seconds = opts.seconds or (4.0 if opts.quick else 15.0)
    opts.jpeg_frames = 60 if opts.quick else 240
    opts.launch_frames = 600
    build = benchlib.build_dir(opts.build, os.path.join("stream_viewer", "stream_viewer"))
    for program in ("capture_server/capture_server", "bench/scene", "bench/tcpreader", "bench/webprobe"):
        benchlib.tool(build, program)
    benchlib.ensure_ffmpeg()
    started = time.monotonic()
    print(f"last_fps: {build}, {os.cpu_count()} cores, load average {benchlib.load_average():.2f} at the start"
          f"{' (quick: figures not to quote)' if opts.quick else ''}", flush=True)
    table = Table()
    for row in rows:
        globals()["row_" + row](build, opts, table)
    met = sum(table.verdicts)
    print(f"{met} of {len(table.verdicts)} goals met; load average {benchlib.load_average():.2f} at the end; "
          f"run took {time.monotonic() - started:.0f} s")
    print("load: 1-minute load average as the row's window opened; ratio: ours against the peer's; "
          "CPU: capturer plus X server, user and system")


if __name__ == "__main__":
    main()
