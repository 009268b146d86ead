#!/usr/bin/env python3
"""Benchmark of the TCP image stream on a private Xvfb screen full of moving photo-like content.

Runs capture_server --handler tcp against bench/tcpreader at 1920x1080 (30 fps target) and at
640x480 (60 fps target) and prints, for each: frames per second delivered to the reader, encode
milliseconds and bytes per frame, and capture_server's CPU milliseconds per delivered frame.
For comparison, in the same run, ffmpeg's x11grab pipes PNG frames of the full 1920x1080 screen
at 30 fps over TCP to the same reader; its CPU per frame and the ratio are printed too.

Usage: bench/tcp_bench.py [--build DIR] [--seconds S] [--warmup S] [--no-ffmpeg]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User + system CPU of a process, all its threads, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def machine_busy_seconds():
    """CPU seconds spent by the whole machine (all cores) in anything but idle and iowait."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    return (sum(values) - values[3] - values[4]) / TICK


class Processes:
    """Every process this script starts, stopped by its own pid at the end."""

    def __init__(self):
        self.started = []

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.started.append(process)
        return process

    def stop(self, process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def stop_all(self):
        for process in reversed(self.started):
            self.stop(process)


def free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
            return n
    sys.exit("no free X display number")


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    sys.exit(f"timed out waiting for {what}")


def captures_logged(log_path):
    if not log_path:
        return 0
    with open(log_path) as f:
        return f.read().count("Captures/s")


def measure_reader(reader, watched, log_path=None):
    """Follows the reader's output; samples CPU of the `watched` pids (and the frames captured, from
    capture_server's log) over its measuring window."""
    start = None
    for line in reader.stdout:
        line = line.strip()
        if line == "window start":
            start = ({pid: cpu_seconds(pid) for pid in watched}, machine_busy_seconds(), time.monotonic(),
                     captures_logged(log_path))
        elif line.startswith("result"):
            end = ({pid: cpu_seconds(pid) for pid in watched}, machine_busy_seconds(), time.monotonic(),
                   captures_logged(log_path))
            numbers = dict(zip(line.split()[1::2], line.split()[2::2]))
            if start is None:
                sys.exit("the reader received no frame after its warm-up")
            cpu = {pid: end[0][pid] - start[0][pid] for pid in watched}
            return {
                "frames": int(numbers["frames"]),
                "fps": float(numbers["fps"]),
                "bytes": int(numbers["bytes_per_frame"]),
                "cpu": cpu,
                "machine": end[1] - start[1],
                "wall": end[2] - start[2],
                "captured_fps": (end[3] - start[3]) / (end[2] - start[2]),
            }
    sys.exit("the reader ended without a result")


def run_capture(tools, procs, env, work, xvfb, width, height, fps, args):
    # The server's control window comes up at the top-left corner (662x720 here): smaller areas
    # are taken from the bottom-right corner so they hold only the moving scene.
    left, top = 1920 - width, 1080 - height
    log_path = os.path.join(work, f"capture_{width}x{height}.log")
    log = open(log_path, "w")
    server = procs.start([tools["capture_server"], "--port", "0", "--bind", "127.0.0.1", "--handler", "tcp",
                          "--start", "--area", f"{left},{top},{width},{height}", "--fps", str(fps)],
                         env=env, cwd=work, stdout=log, stderr=subprocess.STDOUT)

    def port():
        with open(log_path) as f:
            match = re.search(r"^Port: (\d+)$", f.read(), re.M)
        return int(match.group(1)) if match else 0

    server_port = wait_for(port, 30, "capture_server's port")
    sample = os.path.join(work, f"sample_{width}x{height}.png")
    reader = procs.start([tools["tcpreader"], "--connect", f"127.0.0.1:{server_port}", "--warmup", str(args.warmup),
                          "--seconds", str(args.seconds), "--sample", sample],
                         env=env, stdout=subprocess.PIPE, text=True)
    result = measure_reader(reader, [server.pid, xvfb.pid, reader.pid], log_path)
    reader.wait()
    procs.stop(server)
    log.close()
    with open(log_path) as f:
        text = f.read()
    result["not_ready"] = text.count("CLIENT NOT READY")
    result["sent"] = text.count("Buffer length ")
    encode = subprocess.run([tools["tcpreader"], "--encode", sample, "--repeat", "20"], env=env,
                            capture_output=True, text=True, check=True).stdout
    match = re.search(r"ms ([\d.]+) cpu_ms ([\d.]+) bytes (\d+)", encode)
    result["encode_ms"] = float(match.group(1))
    result["encode_cpu_ms"] = float(match.group(2))
    result["encode_bytes"] = int(match.group(3))
    result["process"], result["xvfb"], result["reader"] = server.pid, xvfb.pid, reader.pid
    return result


def ensure_ffmpeg():
    if shutil.which("ffmpeg"):
        return True
    print("ffmpeg is missing: installing it for the comparison (apt-get install -y ffmpeg)")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    return subprocess.run(sudo + ["apt-get", "install", "-y", "ffmpeg"], env=env).returncode == 0 \
        and shutil.which("ffmpeg") is not None


def run_ffmpeg(tools, procs, env, display, xvfb, args):
    # An idle capture_server keeps its control window on the screen, so ffmpeg grabs the same
    # picture as capture_server did.
    idle = procs.start([tools["capture_server"], "--port", "0", "--bind", "127.0.0.1"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    reader = procs.start([tools["tcpreader"], "--listen", "0", "--png-stream", "--warmup", str(args.warmup),
                          "--seconds", str(args.seconds)], env=env, stdout=subprocess.PIPE, text=True)
    first = reader.stdout.readline().split()
    if len(first) != 2 or first[0] != "listening":
        sys.exit("the reader did not listen")
    ffmpeg = procs.start(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", "30",
                          "-video_size", "1920x1080", "-i", f":{display}+0,0", "-f", "image2pipe", "-c:v", "png",
                          f"tcp://127.0.0.1:{first[1]}"], env=env, stdout=subprocess.DEVNULL)
    result = measure_reader(reader, [ffmpeg.pid, xvfb.pid, reader.pid])
    reader.wait()
    procs.stop(ffmpeg)
    procs.stop(idle)
    result["process"], result["xvfb"], result["reader"] = ffmpeg.pid, xvfb.pid, reader.pid
    return result


def per_frame_ms(result, pid):
    return 1000.0 * result["cpu"][pid] / max(1, result["frames"])


def other_load(result):
    """Cores' worth of CPU used during the window by processes outside the measurement."""
    ours = sum(result["cpu"].values())
    return max(0.0, (result["machine"] - ours) / result["wall"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "release"),
                        help="build directory with capture_server, bench/scene and bench/tcpreader (Release)")
    parser.add_argument("--seconds", type=float, default=15, help="measuring window per case")
    parser.add_argument("--warmup", type=float, default=4, help="seconds of frames before measuring")
    parser.add_argument("--no-ffmpeg", action="store_true", help="skip the ffmpeg comparison")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)

    tools = {
        "capture_server": os.path.join(args.build, "capture_server", "capture_server"),
        "scene": os.path.join(args.build, "bench", "scene"),
        "tcpreader": os.path.join(args.build, "bench", "tcpreader"),
    }
    for name, path in tools.items():
        if not os.access(path, os.X_OK):
            sys.exit(f"{name} not found at {path}: build it first (cmake --build {args.build} --target {name})")
    use_ffmpeg = not args.no_ffmpeg and ensure_ffmpeg()

    procs = Processes()
    work = tempfile.mkdtemp(prefix="tcp_bench_")
    display = free_display()
    env = dict(os.environ, DISPLAY=f":{display}", QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=work)
    try:
        with open("/proc/loadavg") as f:
            load_before = f.read().split()[0]
        xvfb = procs.start(["Xvfb", f":{display}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(f"/tmp/.X11-unix/X{display}"), 20, "Xvfb")
        procs.start([tools["scene"], "--fps", "60"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(2)

        cases = [(1920, 1080, 30), (640, 480, 60)]
        results = [run_capture(tools, procs, env, work, xvfb, w, h, fps, args) for w, h, fps in cases]
        ffmpeg = run_ffmpeg(tools, procs, env, display, xvfb, args) if use_ffmpeg else None
    finally:
        procs.stop_all()

    print()
    print(f"TCP image stream on a 2-core machine: {os.cpu_count()} cores, load average before the run {load_before}")
    print(f"window {args.seconds:g} s after {args.warmup:g} s of warm-up; scene at 60 fps")
    print()
    header = f"{'case':<26}{'captured':>9}{'fps':>8}{'encode ms':>11}{'(CPU)':>7}{'bytes/frame':>13}{'CPU ms/frame':>14}" \
             f"{'Xvfb ms/frame':>15}{'not ready':>11}{'other load':>12}"
    print(header)
    for (w, h, fps), r in zip(cases, results):
        print(f"{f'capture_server {w}x{h}@{fps}':<26}{r['captured_fps']:>9.2f}{r['fps']:>8.2f}{r['encode_ms']:>11.1f}"
              f"{r['encode_cpu_ms']:>7.1f}{r['bytes']:>13}"
              f"{per_frame_ms(r, r['process']):>14.1f}{per_frame_ms(r, r['xvfb']):>15.1f}"
              f"{r['not_ready']:>11}{other_load(r):>12.2f}")
    if ffmpeg:
        print(f"{'ffmpeg x11grab 1920x1080@30':<26}{'':>9}{ffmpeg['fps']:>8.2f}{'':>18}{ffmpeg['bytes']:>13}"
              f"{per_frame_ms(ffmpeg, ffmpeg['process']):>14.1f}{per_frame_ms(ffmpeg, ffmpeg['xvfb']):>15.1f}"
              f"{'':>11}{other_load(ffmpeg):>12.2f}")
        ratio = per_frame_ms(results[0], results[0]["process"]) / per_frame_ms(ffmpeg, ffmpeg["process"])
        print()
        print(f"CPU per frame at 1920x1080, capture_server / ffmpeg: {ratio:.2f}")
    print()
    print("captured: frames per second the server grabbed; fps: frames delivered to the reader per second;")
    print("encode ms (wall, and CPU of the thread): the frame encoder on a captured frame;")
    print("CPU ms/frame: user+system CPU of the process (all threads) per delivered frame;")
    print("other load: cores busy with processes outside this benchmark during the window (disturbance).")
    for (w, h, fps), r in zip(cases, results):
        goal = {(1920, 1080): 29.7, (640, 480): 61.9}.get((w, h))
        if goal:
            verdict = "met" if r["fps"] >= goal else "NOT met"
            print(f"goal {w}x{h}: >= {goal} fps delivered: {verdict}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
