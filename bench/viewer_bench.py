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

With --timeline both programs log every frame's stages (DESKCAST_TIMELINE) and the benchmark
prints where the frames of the window were lost: pacing (scene frames no grab caught, grabs of
a frame already grabbed), the server's one-frame-in-flight rule, the viewer's dropping for a
newer frame before decoding, the renderer's replacing, frames that changed nothing on screen;
and the median time between the stages.

Usage: bench/viewer_bench.py [--seconds N] [--build DIR] [--all | --only WxH] [--timeline]
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


def start_pair(bin_dir, work, width, height, fps, procs, extra_env=None):
    """Xvfb, the moving scene and capture_server streaming the area at `fps`, each appended to
    `procs` as it starts; returns the display's environment and the server's port."""
    number = free_display()
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(xvfb)
    for _ in range(100):
        if os.path.exists(f"/tmp/.X11-unix/X{number}"):
            break
        time.sleep(0.05)
    env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=work)
    env.pop("QT_QPA_PLATFORM", None)
    scene = subprocess.Popen([os.path.join(bin_dir, "bench", "scene"), "--content", "moving",
                              "--fps", str(SCENE_FPS), "--log", os.path.join(work, "scene.log")], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    procs.append(scene)
    ready = scene.stdout.readline()
    if not ready.startswith("scene ready"):
        benchlib.fail(f"the scene did not start: {ready.strip() or 'no output'}")
    threading.Thread(target=scene.stdout.read, daemon=True).start()
    server_out = os.path.join(work, "server.out")
    # Both windows sit at the bottom-right, away from the counter strip.
    with open(server_out, "w") as out:
        server = subprocess.Popen([os.path.join(bin_dir, "capture_server", "capture_server"),
                                   "-geometry", "300x400+1600+650", "--port", "0", "--bind", "127.0.0.1",
                                   "--handler", "tcp", "--area", f"0,0,{width},{height}", "--fps", str(fps),
                                   "--start"], cwd=work, env=dict(env, **(extra_env or {})), stdout=out,
                                  stderr=subprocess.STDOUT)
    procs.append(server)
    for _ in range(200):
        with open(server_out) as f:
            m = re.search(r"Port: (\d+)", f.read())
        if m:
            return env, m.group(1)
        time.sleep(0.05)
    benchlib.fail("capture_server printed no port" + benchlib.tail(server_out))


def run(bin_dir, width, height, fps, seconds, alone=True, timeline=False):
    """One configuration with the scene, capture_server and stream_viewer on a private Xvfb;
    with `alone`, the recorded frames are replayed to a fresh viewer afterwards; with
    `timeline`, both programs log their stages (DESKCAST_TIMELINE) and the result has "timeline",
    where the frames of the measured window went."""
    work = tempfile.mkdtemp(prefix="viewer-bench-")
    procs = []
    stages = {"DESKCAST_TIMELINE": os.path.join(work, "server.timeline")} if timeline else None
    try:
        env, port = start_pair(bin_dir, work, width, height, fps, procs, stages)
        xvfb, scene, server = procs
        scene_log = os.path.join(work, "scene.log")
        viewer_log = os.path.join(work, "viewer.log")
        server_out = open(os.path.join(work, "server.out"))
        viewer_out = open(os.path.join(work, "viewer.out"), "w")
        viewer = subprocess.Popen([os.path.join(bin_dir, "stream_viewer", "stream_viewer"),
                                   "-geometry", "640x480+1270+590", "--host", "127.0.0.1", "--port", port,
                                   "--timing-log", viewer_log],
                                  env=dict(env, DESKCAST_TIMELINE=os.path.join(work, "viewer.timeline")) if timeline
                                  else env, stdout=viewer_out, stderr=subprocess.STDOUT)
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
        frames = record_frames(port, REPLAY_FRAMES) if alone else None
        for proc in (server, procs[1]):
            stop(proc)
        alone = replay(bin_dir, env, work, frames, fps, seconds) if alone else None
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
        "timeline": timeline_report(work, scene, start_ms, end_ms) if timeline else None,
    }


def read_timeline(path):
    """The stamps of a DESKCAST_TIMELINE file: (ms, stage, key, value) in the order written."""
    stamps = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 4:
                stamps.append((int(parts[0]) / 1000.0, parts[1], int(parts[2]), int(parts[3])))
    return stamps


def timeline_report(work, scene, start_ms, end_ms):
    """Where the frames grabbed in the window went, stage by stage, from both programs'
    timelines: lines to print."""
    server = read_timeline(os.path.join(work, "server.timeline"))
    viewer = read_timeline(os.path.join(work, "viewer.timeline"))
    grabs = [(ms, n, c) for ms, stage, n, c in server if stage == "grab" and start_ms <= ms <= end_ms]
    if not grabs:
        return ["timeline: no grab in the window"]
    numbers = {n for _, n, _ in grabs}
    first_ms, last_ms = grabs[0][0], grabs[-1][0]
    stage_times = {}
    for ms, stage, key, value in server:
        if key in numbers:
            stage_times.setdefault(stage, {})[key] = (ms, value)
    grabbed = {n: (ms, c) for ms, n, c in grabs}
    notready = stage_times.get("notready", {})
    reasons = {}
    for _, reason in notready.values():
        reasons[reason] = reasons.get(reason, 0) + 1
    sent = stage_times.get("sent", {})
    encoded = stage_times.get("encoded", {})
    # Pacing: a grab that found the scene's frame of the grab before, and scene frames that no
    # grab caught.
    counters = [c for _, _, c in grabs]
    repeats = sum(1 for a, b in zip(counters, counters[1:]) if a == b and a >= 0)
    painted_scene = [c for c, t in scene.items() if first_ms <= t <= last_ms]
    missed = [c for c in painted_scene if c not in set(counters)]
    # The viewer: frames matched to what was sent by their length, in order.
    sent_by_length = {}
    for n in sorted(sent):
        sent_by_length.setdefault(sent[n][1], []).append(n)
    received, dropped, decoding, decoded = {}, [], {}, {}
    for ms, stage, key, value in viewer:
        if stage == "received" and sent_by_length.get(key):
            n = sent_by_length[key].pop(0)
            received[n] = ms
            decoding.setdefault("by_length", {}).setdefault(key, []).append(n)
        elif stage == "dropped" and key in decoding.get("by_length", {}) and decoding["by_length"][key]:
            dropped.append(decoding["by_length"][key][0])
        elif stage in ("decoding", "decoded") and decoding.get("by_length", {}).get(key):
            n = decoding["by_length"][key][0]
            (decoding if stage == "decoding" else decoded)[n] = ms
            if stage == "decoded":
                decoding["by_length"][key].pop(0)
    decoding.pop("by_length", None)
    shown = {key: (ms, value) for ms, stage, key, value in viewer if stage == "shown"}
    replaced = {key for _, stage, key, _ in viewer if stage == "replaced"}
    resampled = {key: (ms, value) for ms, stage, key, value in viewer if stage == "resampled"}
    painted = {key: ms for ms, stage, key, _ in viewer if stage == "painted"}
    grab_counters = set(c for n, (_, c) in grabbed.items())
    ours = {seq: v for seq, v in shown.items() if v[1] in grab_counters and first_ms <= v[0] <= last_ms + 500}
    unchanged = sum(1 for seq in ours if seq in resampled and resampled[seq][1] == 0)
    lost_renderer = sum(1 for seq in ours if seq in replaced)
    painted_ours = [seq for seq in ours if seq in painted]
    distinct = len({ours[seq][1] for seq in painted_ours})

    def median_gap(pairs):
        gaps = sorted(b - a for a, b in pairs)
        return f"{statistics.median(gaps):.1f}" if gaps else "-"

    lines = [
        f"timeline over {len(grabs)} grabs ({(last_ms - first_ms) / 1000:.1f} s), {len(painted_scene)} scene frames "
        f"painted meanwhile:",
        f"  pacing:   {len(missed)} scene frames no grab caught, {repeats} grabs of the scene frame grabbed before",
        f"  server:   {len(notready)} grabs not sent to the viewer (still encoding its last frame {reasons.get(1, 0)}, "
        f"its last frame not yet handed to the system {reasons.get(2, 0)}, encoder full {reasons.get(3, 0)}); "
        f"{len(sent)} sent",
        f"  viewer:   {len(received)} received, {len(dropped)} dropped for a newer one before decoding, "
        f"{len(decoded)} decoded, {len(ours)} handed to the renderer, {lost_renderer} replaced there by a newer one, "
        f"{unchanged} changed nothing on screen, {len(painted_ours)} painted ({distinct} distinct scene frames)",
        "  median ms: scene paint to grab {}, grab to encoded {}, encoded to sent {}, sent to received {}, "
        "received to decode start {}, decode {}, decoded to resampled {}, resampled to painted {}".format(
            median_gap([(scene[c], ms) for ms, n, c in grabs if c in scene]),
            median_gap([(grabbed[n][0], encoded[n][0]) for n in encoded]),
            median_gap([(encoded[n][0], sent[n][0]) for n in sent if n in encoded]),
            median_gap([(sent[n][0], received[n]) for n in received]),
            median_gap([(received[n], decoding[n]) for n in decoding if n in received]),
            median_gap([(decoding[n], decoded[n]) for n in decoded if n in decoding]),
            median_gap([(shown[seq][0], resampled[seq][0]) for seq in ours if seq in resampled]),
            median_gap([(resampled[seq][0], painted[seq]) for seq in painted_ours if seq in resampled])),
    ]
    return lines


def launch_rate(bin_dir, width, height, fps, frames, settle=WARMUP_S):
    """stream_viewer launched with --frames `frames` beside a capture_server that has streamed
    the area at `fps` for `settle` seconds: frames shown a second from the launch to the last one
    on the screen (the viewer's exit when its last frame changed nothing there), and the
    distinct scene frames among them."""
    work = tempfile.mkdtemp(prefix="viewer-launch-")
    procs = []
    try:
        env, port = start_pair(bin_dir, work, width, height, fps, procs)
        time.sleep(settle)
        viewer_log = os.path.join(work, "viewer.log")
        load = benchlib.load_average()
        launched = time.monotonic()
        viewer = subprocess.Popen([os.path.join(bin_dir, "stream_viewer", "stream_viewer"),
                                   "-geometry", "640x480+1270+590", "--host", "127.0.0.1", "--port", port,
                                   "--frames", str(frames), "--timing-log", viewer_log], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        procs.append(viewer)
        try:
            viewer.wait(frames / fps * 4 + 30)
        except subprocess.TimeoutExpired:
            benchlib.fail(f"stream_viewer --frames {frames} did not finish")
        exited = time.monotonic()
    finally:
        for proc in reversed(procs):
            stop(proc)
    painted = read_log(viewer_log)
    last = painted[-1][1] / 1000.0 if painted else exited
    benchlib.clean(work)
    return {"fps": frames / (last - launched), "until_exit_s": exited - launched, "until_last_s": last - launched,
            "distinct_fps": len(first_times(painted)) / (last - launched), "load": load,
            "load_after": benchlib.load_average()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=15.0, help="measured seconds per configuration")
    parser.add_argument("--build", help="build folder (default: build/release, ci, dev or viewer)")
    parser.add_argument("--only", help="run one configuration only, e.g. 640x480")
    parser.add_argument("--all", action="store_true", help="also 640x480 at 60 fps")
    parser.add_argument("--timeline", action="store_true",
                        help="both programs log each frame's stages; print where the frames were lost or delayed")
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
        r = run(bin_dir, width, height, fps, args.seconds, alone=not args.timeline, timeline=args.timeline)
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
        for line in r["timeline"] or []:
            print("      " + line)
        if (width, height, fps) == (1920, 1080, 30):
            verdicts.append(f"viewer shows >= 29 fps: {r['displayed_fps']:.1f} "
                            f"{'met' if r['displayed_fps'] >= 29 else 'NOT met'}")
            verdicts.append(f"median grab-to-display latency < 50 ms: {r['median']:.0f} ms "
                            f"{'met' if r['median'] < 50 else 'NOT met'}")
        a = r["alone"]
        lat = a["latencies"] if a else None
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
