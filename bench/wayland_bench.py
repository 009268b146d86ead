#!/usr/bin/env python3
"""Capture on Wayland (the ScreenCast portal and PipeWire) against the X11 path, same content.

The content is bench/movingwindow: a 1280x720 window changing every pixel 30 times a second.
On Wayland it fills the output of a private headless session (scripts/wayland-session.sh) and
capture_server reads it with --grabber portal; on X11 it sits at the top-left of a private Xvfb
and capture_server grabs it with --grabber x11. For each, at 1280x720 and 30 fps:
  - JPEG files: frames a second written (from the files' times) and CPU ms per frame;
  - PNG over TCP: frames a second delivered to bench/tcpreader and CPU ms per frame;
  - on Wayland, the time from start to the first file: from the process's start, and from
    the portal's stream being ready ("Grabber:" line printed at start-up, first file written).
CPU per frame is capture_server's own; the portal backend's (Wayland) and the X server's (X11,
which also draws the content) are printed beside it. The load average is printed too: the
machine may be shared.

Usage: bench/wayland_bench.py [--seconds N] [--build DIR]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

WIDTH, HEIGHT, FPS = 1280, 720, 30
WARMUP_S = 2.0


def start_content(build, env, fullscreen):
    args = [benchlib.tool(build, os.path.join("bench", "movingwindow")), "--fps", str(FPS), "--size", f"{WIDTH}x{HEIGHT}"]
    if fullscreen:
        args.append("--fullscreen")
    proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if not proc.stdout.readline().startswith("scene ready"):
        benchlib.fail("the moving window did not start")
    threading.Thread(target=proc.stdout.read, daemon=True).start()
    time.sleep(0.5)  # mapped and painted once
    return proc


def start_server(build, env, work, grabber, handler, extra=()):
    log_path = os.path.join(work, f"capture_server-{handler}.log")
    log = open(log_path, "w")
    args = [benchlib.tool(build, os.path.join("capture_server", "capture_server")), "--grabber", grabber,
            "--port", "0", "--bind", "127.0.0.1", "--handler", handler, "--start",
            "--area", f"0,0,{WIDTH},{HEIGHT}", "--fps", str(FPS)] + list(extra)
    if grabber == "x11":
        args += ["-geometry", "500x600+1350+0"]  # its window right of the captured area
    started = time.monotonic()
    proc = subprocess.Popen(args, cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT)
    return proc, log_path, started


def cpu_of(pids):
    return {pid: benchlib.cpu_seconds(pid) for pid in pids}


def measure_saver(build, env, grabber, seconds, helpers):
    """Files a second and CPU per frame, capture_server writing JPEG files."""
    work = tempfile.mkdtemp(prefix="wayland-bench-")
    proc, log_path, started = start_server(build, env, work, grabber, "saver")
    benchlib.wait_for_line(log_path, r"^Writing: ", 30, "the first file", proc)
    first_file_s = time.monotonic() - started
    time.sleep(WARMUP_S)
    count0 = len(os.listdir(os.path.join(work, "capture")))
    pids = [proc.pid] + [pid for pid in helpers.values()]
    cpu0, t0 = cpu_of(pids), time.monotonic()
    time.sleep(seconds)
    cpu1, t1 = cpu_of(pids), time.monotonic()
    count1 = len(os.listdir(os.path.join(work, "capture")))
    benchlib.stop(proc)
    frames = count1 - count0
    result = {"fps": frames / (t1 - t0), "frames": frames, "first_file_s": first_file_s,
              "cpu_ms": {name: 1000.0 * (cpu1[pid] - cpu0[pid]) / max(1, frames)
                         for name, pid in [("capture_server", proc.pid)] + list(helpers.items())}}
    benchlib.clean(work)
    return result


def measure_tcp(build, env, grabber, seconds, helpers):
    """Frames a second delivered to a raw reader and CPU per frame, PNG over TCP."""
    work = tempfile.mkdtemp(prefix="wayland-bench-")
    proc, log_path, _ = start_server(build, env, work, grabber, "tcp")
    port = benchlib.wait_for_line(log_path, r"^Port: (\d+)$", 30, "capture_server's port", proc).group(1)
    reader = subprocess.Popen([benchlib.tool(build, os.path.join("bench", "tcpreader")), "--connect",
                               f"127.0.0.1:{port}", "--warmup", str(WARMUP_S), "--seconds", str(seconds)],
                              env=env, stdout=subprocess.PIPE, text=True)
    pids = [proc.pid] + list(helpers.values())
    cpu0 = None
    result = {}
    for line in reader.stdout:
        if line.startswith("window start"):
            cpu0 = cpu_of(pids)
        elif line.startswith("result"):
            cpu1 = cpu_of(pids)
            fields = line.split()
            values = dict(zip(fields[1::2], fields[2::2]))
            frames = int(values["frames"])
            result = {"fps": float(values["fps"]), "frames": frames,
                      "cpu_ms": {name: 1000.0 * (cpu1[pid] - cpu0[pid]) / max(1, frames)
                                 for name, pid in [("capture_server", proc.pid)] + list(helpers.items())}}
    reader.wait()
    benchlib.stop(proc)
    benchlib.clean(work)
    if not result:
        benchlib.fail("the TCP reader gave no result" + benchlib.tail(log_path))
    return result


def first_frame_after_ready(build, env):
    """Seconds to the first file of a scripted start: from the process's start, and from its
    "Grabber:" line (after Qt's start-up: the portal session, the stream, its first frame, the
    first tick, the file)."""
    work = tempfile.mkdtemp(prefix="wayland-bench-")
    proc, log_path, started = start_server(build, env, work, "portal", "saver", ["--frames", "1"])
    benchlib.wait_for_line(log_path, r"^Grabber: ", 30, "the start-up line", proc)
    grabber_s = time.monotonic() - started
    benchlib.wait_for_line(log_path, r"^Writing: ", 30, "the first file", proc)
    file_s = time.monotonic() - started
    proc.wait(30)
    benchlib.clean(work)
    return {"start_to_first_file_s": file_s, "startup_line_to_first_file_s": file_s - grabber_s}


def inner(args):
    """Inside the Wayland session: the portal path."""
    build = benchlib.build_dir(args.build)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")  # capture_server's window stays off the output
    content = start_content(build, dict(os.environ, QT_QPA_PLATFORM="wayland"), fullscreen=True)
    helpers = {"portal backend": int(os.environ["DESKCAST_PORTAL_BACKEND_PID"]),
               "compositor": int(os.environ["DESKCAST_SWAY_PID"])}
    try:
        result = {"first": first_frame_after_ready(build, env),
                  "saver": measure_saver(build, env, "portal", args.seconds, helpers),
                  "tcp": measure_tcp(build, env, "portal", args.seconds, helpers)}
    finally:
        benchlib.stop(content)
    with open(args.json, "w") as f:
        json.dump(result, f)


def x11(args):
    build = benchlib.build_dir(args.build)
    benchlib.require("Xvfb", "apt-get install xvfb")
    number = benchlib.Display._free_display()
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                break
            time.sleep(0.05)
        runtime = f"/tmp/runtime-{os.getuid()}"
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb",
                   XDG_SESSION_TYPE="x11")
        env.pop("WAYLAND_DISPLAY", None)
        content = start_content(build, env, fullscreen=False)
        helpers = {"X server": xvfb.pid}
        try:
            saver = measure_saver(build, env, "x11", args.seconds, helpers)
            tcp = measure_tcp(build, env, "x11", args.seconds, helpers)
        finally:
            benchlib.stop(content)
        return {"saver": saver, "tcp": tcp}
    finally:
        benchlib.stop(xvfb)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--build")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inner:
        inner(args)
        return

    build = benchlib.build_dir(args.build)
    load_before = benchlib.load_average()
    x = x11(args)
    out_dir = tempfile.mkdtemp(prefix="wayland-bench-out-")
    os.chmod(out_dir, 0o777)  # the session may run as another user
    out = os.path.join(out_dir, "result.json")
    session = os.path.join(benchlib.ROOT, "scripts", "wayland-session.sh")
    # The session may run as another user, who cannot reach a Python below this user's home.
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    command = [session, "--", python, os.path.abspath(__file__), "--inner", "--json", out,
               "--seconds", str(args.seconds), "--build", build]
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0 or not os.path.exists(out):
        benchlib.fail("the Wayland run failed: " + run.stdout[-1500:])
    with open(out) as f:
        w = json.load(f)
    benchlib.clean(out_dir)

    print(f"1280x720 at {FPS} fps, moving content, {args.seconds:g} s per figure; "
          f"load average {load_before:.2f} before, {benchlib.load_average():.2f} after")
    for kind, title in (("saver", "JPEG files"), ("tcp", "PNG over TCP")):
        xw, ww = x[kind], w[kind]
        ratio = ww["cpu_ms"]["capture_server"] / xw["cpu_ms"]["capture_server"]
        print(f"{title}:")
        print(f"  X11     {xw['fps']:6.2f} fps  capture_server {xw['cpu_ms']['capture_server']:6.2f} ms/frame"
              f"  (X server, which also draws the content, {xw['cpu_ms']['X server']:.2f})")
        print(f"  Wayland {ww['fps']:6.2f} fps  capture_server {ww['cpu_ms']['capture_server']:6.2f} ms/frame"
              f"  (portal backend {ww['cpu_ms']['portal backend']:.2f}, compositor {ww['cpu_ms']['compositor']:.2f})"
              f"  ratio to X11 {ratio:.2f}")
    first = w["first"]
    print(f"First file on Wayland: {first['start_to_first_file_s']:.2f} s from the process's start, "
          f"{first['startup_line_to_first_file_s']:.2f} s from its start-up line (portal session, stream, first frame, "
          f"first file); first file of the measured saver run {w['saver']['first_file_s']:.2f} s")


if __name__ == "__main__":
    main()
