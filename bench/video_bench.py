#!/usr/bin/env python3
"""capture_server's video handler side by side with ffmpeg's x11grab to libx264, in one run.

The two contents of bench/scene, as bench/compare.py uses them:
  (a) moving   everything on the 1920x1080 screen moves; the whole screen is recorded
  (b) desktop  a still desktop with one 320x180 video playing; the 1240x1080 region at x=680
For each: capture_server --handler video against `ffmpeg -f x11grab ... -c:v libx264 -preset P
-crf Q` at the same rate, preset and quality, both at the preset's defaults (look-ahead and
B-frames: nothing reads either file live). The peer runs twice: beside an idle control window for
its CPU, and beside one previewing the same area live for its file's size (a recording of the
whole screen holds our live preview: without it in the peer's, the two files differ in content). Rows: frames a second in the file (ffprobe: frames over the span of
their times), CPU ms per frame of the capturer and of the X server over a window in the steady
state, the ratio of the totals, and the file's size per second of video with its ratio.
A relay row (needs nginx with libnginx-mod-rtmp): capture_server publishes region (b) to an
nginx started here; a player (ffmpeg reading from nginx) is timed to its first frame from the
start of the recording; the relay is killed mid-capture; the rate of the file after the kill and
the file's completeness are checked.

Usage: bench/video_bench.py [--fps N] [--preset P] [--quality Q] [--seconds S] [--only a|b]
                            [--no-relay] [--build DIR]
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402
from compare import CONTENTS  # noqa: E402

WARMUP_S = 3.0
RTMP_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


def probe(path):
    """Frame times (s) of the video in `path`, from ffprobe, and whether it read without error."""
    result = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "packet=pts_time", "-of", "csv=p=0", path], capture_output=True, text=True)
    times = sorted(float(t) for t in result.stdout.split() if t not in ("", "N/A"))
    return times, result.returncode == 0 and not result.stderr.strip()


def file_figures(path, window_s, cpu, capturer, display):
    times, clean = probe(path)
    if len(times) < 2 or times[-1] <= times[0]:
        benchlib.fail(f"{path}: too few frames in the file ({len(times)})")
    fps = (len(times) - 1) / (times[-1] - times[0])
    frames = fps * window_s  # frames made during the CPU window, at the file's steady rate
    duration = times[-1] - times[0] + 1.0 / fps
    capt = 1000.0 * cpu[capturer] / frames
    x_ms = 1000.0 * cpu[display.xvfb.pid] / frames
    return {"fps": fps, "frames": len(times), "capt": capt, "x": x_ms, "total": capt + x_ms,
            "bytes_s": os.path.getsize(path) / duration, "bytes_frame": os.path.getsize(path) / len(times),
            "clean": clean}


def run_ours(build, display, area, opts, work):
    server, log = benchlib.start_capture_server(
        build, display, work, ["--handler", "video", "--start", "--area", ",".join(map(str, area)), "--fps",
                               str(opts.fps), "--video-preset", opts.preset, "--video-quality", str(opts.quality)])
    try:
        benchlib.wait_for_line(log, r"^Recording: (.*)$", 30, "the recording to start", server)
        time.sleep(WARMUP_S)
        start = benchlib.Sample([server.pid, display.xvfb.pid, display.scene.pid])
        time.sleep(opts.seconds)
        end = benchlib.Sample([server.pid, display.xvfb.pid, display.scene.pid])
    finally:
        benchlib.stop(server)
    cpu, wall, other = end.since(start)
    figures = file_figures(os.path.join(work, "capture", "capture0.mkv"), wall, cpu, server.pid, display)
    figures.update(load=start.load, other=other)
    with open(log, errors="replace") as f:
        figures["skips"] = "Capture slower than the target rate" in f.read()
    return figures


def run_ffmpeg(build, display, area, opts, work, mirror=False):
    """The peer recording `area`. The control window is on screen as in our run: idle, or with
    `mirror` previewing the same area live (a TCP capture nobody watches), so that a recording of
    the whole screen holds the same moving preview as ours does. Only the file of a mirrored run
    compares with ours; its X server also serves the mirror's grabs, so not its CPU."""
    window_args = ["--handler", "tcp", "--port", "0", "--start", "--area", ",".join(map(str, area)), "--fps",
                   str(opts.fps)] if mirror else []
    idle, _ = benchlib.start_capture_server(build, display, work, window_args)
    x, y, w, h = area
    out = os.path.join(work, "ffmpeg.mkv")
    errors = open(os.path.join(work, "ffmpeg.log"), "w")
    try:
        ffmpeg = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate",
                                   str(opts.fps), "-video_size", f"{w}x{h}", "-i", f"{display.name}+{x},{y}",
                                   "-c:v", "libx264", "-preset", opts.preset, "-crf",
                                   str(opts.quality), "-pix_fmt", "yuv420p", out],
                                  env=display.env, stdout=subprocess.DEVNULL, stderr=errors)
        try:
            time.sleep(WARMUP_S)
            start = benchlib.Sample([ffmpeg.pid, display.xvfb.pid, display.scene.pid])
            time.sleep(opts.seconds)
            end = benchlib.Sample([ffmpeg.pid, display.xvfb.pid, display.scene.pid])
        finally:
            benchlib.stop(ffmpeg)
    finally:
        benchlib.stop(idle)
    cpu, wall, other = end.since(start)
    figures = file_figures(out, wall, cpu, ffmpeg.pid, display)
    figures.update(load=start.load, other=other, skips=False)
    return figures


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(work, port):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"load_module {RTMP_MODULE};\ndaemon off;\nmaster_process off;\npid {work}/nginx.pid;\n"
                f"error_log {work}/error.log;\nevents {{ worker_connections 64; }}\n"
                f"rtmp {{ access_log off; server {{ listen 127.0.0.1:{port}; application live {{ live on; }} }} }}\n")
    proc = subprocess.Popen(["nginx", "-p", work, "-c", conf, "-e", os.path.join(work, "error.log")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return proc
        time.sleep(0.05)
    benchlib.fail("nginx did not start listening")


def run_relay(build, display, area, opts, work):
    port = free_port()
    nginx = start_nginx(work, port)
    url = f"rtmp://127.0.0.1:{port}/live/bench"
    player = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-frames:v", "1", "-f", "null", "-"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    server, log = benchlib.start_capture_server(
        build, display, work, ["--publish", url, "--start", "--area", ",".join(map(str, area)), "--fps",
                               str(opts.fps), "--video-preset", opts.preset, "--video-quality", str(opts.quality)])
    try:
        benchlib.wait_for_line(log, r"^Recording: (.*)$", 30, "the recording to start", server)
        started = time.monotonic()
        try:
            player.wait(15)
            first_frame = time.monotonic() - started if player.returncode == 0 else float("nan")
        except subprocess.TimeoutExpired:
            player.kill()
            first_frame = float("nan")
        time.sleep(max(0.0, 5.0 - (time.monotonic() - started)))
        nginx.kill()
        nginx.wait()
        killed_at = time.monotonic() - started
        time.sleep(6.0)
        after_until = time.monotonic() - started
    finally:
        benchlib.stop(server)
        if nginx.poll() is None:
            nginx.kill()
    with open(log, errors="replace") as f:
        console = f.read()
    recorded = re.search(r"^Recorded .*: (\d+) frames", console, re.M)
    times, clean = probe(os.path.join(work, "capture", "capture0.mkv"))
    # Frame times count from the first grab, just after the "Recording:" line.
    after = [t for t in times if killed_at + 0.5 <= t <= after_until - 0.5]
    rate_after = (len(after) - 1) / (after[-1] - after[0]) if len(after) > 1 else 0.0
    return {"first_frame": first_frame, "rate_after": rate_after, "clean": clean,
            "complete": bool(recorded) and int(recorded.group(1)) == len(times), "frames": len(times),
            "lost_line": "Lost the relay" in console}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--preset", default="veryfast")
    parser.add_argument("--quality", type=int, default=23, help="x264 CRF of both (default 23)")
    parser.add_argument("--seconds", type=float, default=10.0, help="CPU window per run (default 10)")
    parser.add_argument("--only", choices=sorted(CONTENTS))
    parser.add_argument("--no-relay", action="store_true")
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    opts = parser.parse_args()
    build = benchlib.build_dir(opts.build)
    benchlib.tool(build, os.path.join("bench", "scene"))
    benchlib.ensure_ffmpeg()
    started = time.monotonic()
    print(f"video: capture_server against ffmpeg x11grab -> libx264, preset {opts.preset}, crf {opts.quality}, "
          f"{opts.fps} fps, {os.cpu_count()} cores, load average {benchlib.load_average():.2f}")
    print(f"  {'':<26}{'fps':>7}{'capt ms':>9}{'X ms':>7}{'total':>8}{'ratio':>7}{'KB/s':>8}{'size':>7}"
          f"{'KB/fr':>7}{'size':>7}{'load':>6}{'other':>7}")
    verdicts = []
    base = os.environ.get("BENCH_TMP", "/tmp")
    for key in sorted(CONTENTS):
        if opts.only and key != opts.only:
            continue
        content = CONTENTS[key]
        with benchlib.Display(scene_fps=30, content=content["scene"], build=build) as display:
            print(content["title"], flush=True)
            work = tempfile.mkdtemp(prefix="video-ours-", dir=base)
            work2 = tempfile.mkdtemp(prefix="video-ffmpeg-", dir=base)
            try:
                ours = run_ours(build, display, content["area"], opts, work)
                theirs = run_ffmpeg(build, display, content["area"], opts, work2)
                benchlib.clean(work2)
                os.makedirs(work2)
                mirrored = run_ffmpeg(build, display, content["area"], opts, work2, mirror=True)
            finally:
                benchlib.clean(work)
                benchlib.clean(work2)
        ratio = ours["total"] / theirs["total"]
        # Sizes against the peer's file of the same screen: our live preview in it too.
        size = ours["bytes_s"] / mirrored["bytes_s"]
        # Per frame too: when the two rates differ, bytes a second compare unequal amounts of video.
        size_frame = ours["bytes_frame"] / mirrored["bytes_frame"]
        for name, r, rr, ss, sf in (("capture_server video", ours, ratio, size, size_frame),
                                    ("ffmpeg x11grab libx264", theirs, None, None, None)):
            print(f"  {name:<26}{r['fps']:>7.2f}{r['capt']:>9.1f}{r['x']:>7.1f}{r['total']:>8.1f}"
                  f"{(f'{rr:.2f}' if rr else ''):>7}{r['bytes_s'] / 1024:>8.0f}{(f'{ss:.2f}' if ss else ''):>7}"
                  f"{r['bytes_frame'] / 1024:>7.0f}{(f'{sf:.2f}' if sf else ''):>7}"
                  f"{r['load']:>6.2f}{r['other']:>7.2f}" + ("  (skipped grabs)" if r["skips"] else "")
                  + ("" if r["clean"] else "  (ffprobe reported errors)"), flush=True)
        print(f"  {'ffmpeg, preview live':<26}{mirrored['fps']:>7.2f}{'':>31}{mirrored['bytes_s'] / 1024:>8.0f}{'':>7}"
              f"{mirrored['bytes_frame'] / 1024:>7.0f}  (the size the ratios use)", flush=True)
        verdicts.append(f"({key}) frames a second in the file: {ours['fps']:.2f} (>= 29.7)")
        verdicts.append(f"({key}) CPU ratio: {ratio:.2f} (<= {'1.0' if key == 'a' else '0.9'})")
        verdicts.append(f"({key}) size ratio: {size:.2f} a second, {size_frame:.2f} a frame (0.9 .. 1.1)")
    if not opts.no_relay:
        if shutil.which("nginx") is None or not os.path.exists(RTMP_MODULE):
            print("relay: skipped (nginx with libnginx-mod-rtmp is not installed)")
        else:
            content = CONTENTS["b"]
            with benchlib.Display(scene_fps=30, content=content["scene"], build=build) as display:
                work = tempfile.mkdtemp(prefix="video-relay-", dir=base)
                try:
                    r = run_relay(build, display, content["area"], opts, work)
                finally:
                    benchlib.clean(work)
            print(f"relay (b) to nginx: first frame at the player after {r['first_frame']:.2f} s; relay killed at "
                  f"5 s: file rate after it {r['rate_after']:.2f} fps, {r['frames']} frames, file "
                  f"{'complete' if r['complete'] and r['clean'] else 'NOT complete'}"
                  f"{', one line said so' if r['lost_line'] else ', no line said so'}")
            verdicts.append(f"relay: first frame {r['first_frame']:.2f} s (<= 3)")
            verdicts.append(f"relay: rate after the kill {r['rate_after']:.2f} (>= 29.7)")
    print("figures:")
    for line in verdicts:
        print("  " + line)
    print(f"run took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
