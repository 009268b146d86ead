#!/usr/bin/env python3
"""Benchmark of stream_viewer fed by capture_server's TCP server, both on one private Xvfb.

The scene paints a frame counter (32 black or white 16x16 cells at the top-left) and logs
"<frame> <monotonic ms>" for every frame it paints; capture_server grabs the top-left area and
streams it; stream_viewer logs "<counter> <monotonic ms>" (its --timing-log) whenever a frame
reaches its screen. Matching the counters gives, per configuration:
  displayed fps   distinct frames that reached the viewer's screen per second
  latency         viewer on screen minus scene painted (median, 90th percentile); the grab
                  follows the paint by up to one scene frame, which this figure includes
The first seconds (connection, first uploads) are left out.

Usage: bench/viewer_bench.py [--seconds N] [--build DIR] [--only WxH]
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WARMUP_S = 3.0
CONFIGS = [(640, 480, 60), (1920, 1080, 30)]
SCENE_FPS = 60


def build_dir(explicit):
    if explicit:
        return os.path.abspath(explicit)
    for name in ("release", "ci", "dev", "viewer"):
        path = os.path.join(ROOT, "build", name)
        if os.path.exists(os.path.join(path, "stream_viewer", "stream_viewer")):
            return path
    sys.exit("no build with stream_viewer found: run scripts/build.sh release first")


def free_display():
    for n in range(120, 250):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    sys.exit("no free X display number")


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def read_log(path):
    """(counter, ms) pairs in the order written."""
    entries = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                entries.append((int(parts[0]), int(parts[1])))
    return entries


def first_times(entries):
    times = {}
    for counter, ms in entries:
        times.setdefault(counter, ms)
    return times


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(bin_dir, width, height, fps, seconds):
    work = tempfile.mkdtemp(prefix="viewer-bench-")
    number = free_display()
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs = [xvfb]
    try:
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                break
            time.sleep(0.05)
        env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=work)
        env.pop("QT_QPA_PLATFORM", None)
        scene_log = os.path.join(work, "scene.log")
        viewer_log = os.path.join(work, "viewer.log")
        procs.append(subprocess.Popen([os.path.join(bin_dir, "bench", "scene"), "--fps", str(SCENE_FPS),
                                       "--log", scene_log], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1.5)
        server_out = open(os.path.join(work, "server.out"), "w+")
        # Both windows sit at the bottom-right, away from the counter strip.
        server = subprocess.Popen([os.path.join(bin_dir, "capture_server", "capture_server"),
                                   "-geometry", "300x400+1600+650", "--port", "0", "--bind", "127.0.0.1",
                                   "--handler", "tcp", "--area", f"0,0,{width},{height}", "--fps", str(fps),
                                   "--start"], cwd=work, env=env, stdout=server_out, stderr=subprocess.STDOUT)
        procs.append(server)
        port = None
        for _ in range(200):
            with open(server_out.name) as f:
                m = re.search(r"Port: (\d+)", f.read())
            if m:
                port = m.group(1)
                break
            time.sleep(0.05)
        if not port:
            sys.exit("capture_server printed no port")
        viewer_out = open(os.path.join(work, "viewer.out"), "w")
        viewer = subprocess.Popen([os.path.join(bin_dir, "stream_viewer", "stream_viewer"),
                                   "-geometry", "640x480+1270+590", "--host", "127.0.0.1", "--port", port,
                                   "--timing-log", viewer_log], env=env, stdout=viewer_out,
                                  stderr=subprocess.STDOUT)
        procs.append(viewer)
        time.sleep(WARMUP_S)
        cpu0 = {name: cpu_seconds(p.pid) for name, p in (("server", server), ("viewer", viewer))}
        t0 = time.monotonic()
        start_ms = int(t0 * 1000)
        time.sleep(seconds)
        t1 = time.monotonic()
        end_ms = int(t1 * 1000)
        cpu = {name: (cpu_seconds(p.pid) - cpu0[name]) / (t1 - t0) * 100
               for name, p in (("server", server), ("viewer", viewer))}
    finally:
        for proc in reversed(procs):
            stop(proc)

    scene = first_times(read_log(scene_log))
    # Every frame that reached the screen counts for the rate, a repeated scene frame too
    # (the capture may outpace the scene); the latency is taken at a frame's first showing.
    painted = [(c, t) for c, t in read_log(viewer_log) if start_ms <= t <= end_ms]
    shown = {c: t for c, t in first_times(painted).items()}
    latencies = sorted(t - scene[c] for c, t in shown.items() if c in scene)
    scene_fps = len([t for t in scene.values() if start_ms <= t <= end_ms]) / (t1 - t0)
    with open(os.path.join(work, "viewer.out")) as f:
        out = f.read()
    problems = len(re.findall(r"^(Protocol error|Skipped|Connection to)", out, re.M))
    return {
        "displayed_fps": len(painted) / (t1 - t0),
        "distinct_fps": len(shown) / (t1 - t0),
        "scene_fps": scene_fps,
        "matched": len(latencies),
        "median": statistics.median(latencies) if latencies else float("nan"),
        "p90": latencies[int(len(latencies) * 0.9)] if latencies else float("nan"),
        "cpu": cpu,
        "problems": problems,
        "work": work,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=15.0, help="measured seconds per configuration")
    parser.add_argument("--build", help="build folder (default: build/release, ci, dev or viewer)")
    parser.add_argument("--only", help="run one configuration only, e.g. 1920x1080")
    args = parser.parse_args()
    bin_dir = build_dir(args.build)
    print(f"stream_viewer benchmark ({bin_dir}, {os.cpu_count()} cores, scene at {SCENE_FPS} fps, "
          f"{args.seconds:.0f} s measured per run)")
    for width, height, fps in CONFIGS:
        if args.only and args.only != f"{width}x{height}":
            continue
        r = run(bin_dir, width, height, fps, args.seconds)
        print(f"  {width}x{height} at {fps} fps: displayed {r['displayed_fps']:.1f} fps "
              f"({r['distinct_fps']:.1f} distinct scene frames/s, scene painted {r['scene_fps']:.1f}/s), "
              f"latency grab-to-display median {r['median']:.0f} ms, p90 {r['p90']:.0f} ms "
              f"({r['matched']} frames matched); CPU server {r['cpu']['server']:.0f} %, "
              f"viewer {r['cpu']['viewer']:.0f} %; stream problems: {r['problems']}")


if __name__ == "__main__":
    main()
