#!/usr/bin/env python3
"""Benchmark of stream_viewer fed by capture_server's TCP server, both on one private Xvfb.

The scene's moving content (bench/scene --content moving: the whole screen moves, pushed at
30 fps with shared-memory puts) carries a frame counter (32 black or white 16x16 cells at the
top-left) and logs "<frame> <monotonic ms>" once each frame is on the screen; capture_server
grabs the whole 1920x1080 screen at 30 fps (--all: also 640x480 at 60 fps) and streams it; stream_viewer logs "<counter> <monotonic ms>" (its --timing-log) whenever a frame
reaches its screen. Matching the counters gives, per configuration:
  displayed fps   distinct frames that reached the viewer's screen per second
  latency         viewer on screen minus scene painted (median, 90th percentile); the grab
                  follows the paint by up to one scene frame (half of one on average), which
                  this figure includes
The first seconds (connection, first uploads) are left out. Then, to tell the viewer's share
from the server's, frames recorded from the server are replayed to a fresh viewer at the same
rate with the scene and the server stopped ("viewer alone": latency from send to display).

Usage: bench/viewer_bench.py [--seconds N] [--build DIR] [--all | --only WxH]
"""
import argparse
import os
import re
import signal
import socket
import struct
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WARMUP_S = 3.0
CONFIGS = [(1920, 1080, 30), (640, 480, 60)]
# The scene's rate; SCENE_FPS=N overrides it.
SCENE_FPS = int(os.environ.get("SCENE_FPS", "30"))
REPLAY_FRAMES = 48


def build_dir(explicit):
    path = benchlib.build_dir(explicit, os.path.join("stream_viewer", "stream_viewer"))
    for program in (("capture_server", "capture_server"), ("bench", "scene")):
        benchlib.tool(path, os.path.join(*program))
    benchlib.require("Xvfb", "apt-get install xvfb")
    return path


def free_display():
    for n in range(120, 250):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    benchlib.fail("no free X display number")


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


def recv_exact(sock, n):
    chunks = []
    while n:
        chunk = sock.recv(min(n, 1 << 20))
        if not chunk:
            raise ConnectionError("stream ended")
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def record_frames(port, count):
    """Connects as one more viewer and keeps `count` whole frames (length field included)."""
    frames = []
    with socket.create_connection(("127.0.0.1", int(port)), timeout=30) as sock:
        while len(frames) < count:
            head = recv_exact(sock, 8)
            (length,) = struct.unpack(">q", head)
            frames.append(head + recv_exact(sock, length))
    return frames


def counter_of(frame):
    """The scene's counter in a frame's PNG (8-bit RGB or RGBA, any filter), or None."""
    png = frame[12:]
    pos, idat, width, channels = 8, b"", 0, 0
    while pos + 8 <= len(png):
        (length,) = struct.unpack(">I", png[pos:pos + 4])
        kind, body = png[pos + 4:pos + 8], png[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width = struct.unpack(">I", body[:4])[0]
            channels = {2: 3, 6: 4}.get(body[9], 0)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    if not channels or width < 512:
        return None
    stride = width * channels
    raw = zlib.decompressobj().decompress(idat, 9 * (stride + 1))
    prev = bytearray(stride)
    for y in range(9):
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        kind = raw[y * (stride + 1)]
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = prev[i], prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
    value = 0
    for bit in range(32):
        value = (value << 1) | (1 if prev[(bit * 16 + 8) * channels] > 127 else 0)
    return value


def replay(bin_dir, env, work, frames, fps, seconds):
    """Serves recorded frames to a fresh stream_viewer at `fps`, one frame in flight at most
    (the server's pacing rule); returns displayed fps and send-to-display latencies."""
    counters = [counter_of(f) for f in frames]
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    log = os.path.join(work, "replay.log")
    viewer = subprocess.Popen([os.path.join(bin_dir, "stream_viewer", "stream_viewer"),
                               "-geometry", "640x480+1270+590", "--host", "127.0.0.1",
                               "--port", str(listener.getsockname()[1]), "--timing-log", log],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    conn, _ = listener.accept()
    sent, busy = [], threading.Event()

    def send(frame):
        try:
            conn.sendall(frame)
        except OSError:
            pass
        busy.clear()

    try:
        start = time.monotonic()
        tick = 0
        cpu0 = None
        while time.monotonic() - start < WARMUP_S + seconds:
            if cpu0 is None and time.monotonic() - start >= WARMUP_S:
                cpu0, t0 = cpu_seconds(viewer.pid), time.monotonic()
            if not busy.is_set():
                busy.set()
                index = tick % len(frames)
                sent.append((counters[index], time.monotonic() * 1000))
                threading.Thread(target=send, args=(frames[index],), daemon=True).start()
            tick += 1
            time.sleep(max(0.0, start + tick / fps - time.monotonic()))
        t1 = time.monotonic()
        cpu = (cpu_seconds(viewer.pid) - cpu0) / (t1 - t0) * 100
    finally:
        stop(viewer)
        conn.close()
        listener.close()
    painted = [(c, t) for c, t in read_log(log) if t0 * 1000 <= t <= t1 * 1000]
    latencies = []
    for counter, shown_ms in painted:
        sends = [ms for c, ms in sent if c == counter and ms <= shown_ms]
        if sends:
            latencies.append(shown_ms - max(sends))
    latencies.sort()
    return {"displayed_fps": len(painted) / (t1 - t0), "latencies": latencies, "cpu": cpu}


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
        scene = subprocess.Popen([os.path.join(bin_dir, "bench", "scene"), "--content", "moving",
                                  "--fps", str(SCENE_FPS), "--log", scene_log], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        procs.append(scene)
        ready = scene.stdout.readline()
        if not ready.startswith("scene ready"):
            benchlib.fail(f"the scene did not start: {ready.strip() or 'no output'}")
        threading.Thread(target=scene.stdout.read, daemon=True).start()
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
            benchlib.fail("capture_server printed no port" + benchlib.tail(server_out.name))
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
        # The viewer alone: frames recorded from the server are replayed to a fresh viewer with
        # nothing else running but the X server.
        stop(viewer)
        frames = record_frames(port, REPLAY_FRAMES)
        for proc in (server, procs[1]):
            stop(proc)
        alone = replay(bin_dir, env, work, frames, fps, seconds)
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
    with open(server_out.name) as f:
        server_text = f.read()
    ticks = len(re.findall(r"^Captures/s ", server_text, re.M))
    sent = len(re.findall(r"^Buffer length ", server_text, re.M))
    received = len(re.findall(r"^Complete image written!", out, re.M))
    return {
        "displayed_fps": len(painted) / (t1 - t0),
        "distinct_fps": len(shown) / (t1 - t0),
        "scene_fps": scene_fps,
        "matched": len(latencies),
        "median": statistics.median(latencies) if latencies else float("nan"),
        "p90": latencies[int(len(latencies) * 0.9)] if latencies else float("nan"),
        "cpu": cpu,
        "problems": problems,
        "ticks": ticks,
        "sent": sent,
        "received": received,
        "alone": alone,
        "work": work,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=15.0, help="measured seconds per configuration")
    parser.add_argument("--build", help="build folder (default: build/release, ci, dev or viewer)")
    parser.add_argument("--only", help="run one configuration only, e.g. 640x480")
    parser.add_argument("--all", action="store_true", help="also 640x480 at 60 fps")
    args = parser.parse_args()
    bin_dir = build_dir(args.build)
    print(f"stream_viewer benchmark ({bin_dir}, {os.cpu_count()} cores, moving scene at {SCENE_FPS} fps, "
          f"{args.seconds:.0f} s measured per run)")
    verdicts = []
    for width, height, fps in CONFIGS:
        if args.only and args.only != f"{width}x{height}":
            continue
        if not args.only and not args.all and (width, height) != (1920, 1080):
            continue
        load = benchlib.load_average()
        r = run(bin_dir, width, height, fps, args.seconds)
        if r["displayed_fps"] == 0 or r["matched"] == 0:
            benchlib.fail(f"{width}x{height}: no frame reached the viewer's screen in the measured window "
                          f"(server: {r['ticks']} captures, {r['sent']} frames sent; viewer received {r['received']})")
        print(f"  {width}x{height} at {fps} fps: displayed {r['displayed_fps']:.1f} fps "
              f"({r['distinct_fps']:.1f} distinct scene frames/s, scene painted {r['scene_fps']:.1f}/s), "
              f"latency grab-to-display median {r['median']:.0f} ms, p90 {r['p90']:.0f} ms "
              f"({r['matched']} frames matched); CPU server {r['cpu']['server']:.0f} %, "
              f"viewer {r['cpu']['viewer']:.0f} %; stream problems: {r['problems']}; "
              f"load average {load:.2f} before, {benchlib.load_average():.2f} after")
        print(f"      server: {r['ticks']} captures, {r['sent']} frames sent, viewer received {r['received']} "
              f"(whole run)")
        if (width, height, fps) == (1920, 1080, 30):
            verdicts.append(f"viewer shows >= 29 fps: {r['displayed_fps']:.1f} "
                            f"{'met' if r['displayed_fps'] >= 29 else 'NOT met'}")
            verdicts.append(f"median grab-to-display latency < 50 ms: {r['median']:.0f} ms "
                            f"{'met' if r['median'] < 50 else 'NOT met'}")
        a = r["alone"]
        lat = a["latencies"]
        if lat:
            print(f"      viewer alone (recorded frames replayed at {fps} fps): displayed {a['displayed_fps']:.1f} fps, "
                  f"send-to-display median {statistics.median(lat):.0f} ms, p90 {lat[int(len(lat) * 0.9)]:.0f} ms; "
                  f"CPU {a['cpu']:.0f} %")
    if verdicts:
        print("figures to reach (1920x1080, moving, 30 fps):")
        for line in verdicts:
            print("  " + line)


if __name__ == "__main__":
    main()
