#!/usr/bin/env python3
"""Sound beside the picture: capture_server's video file with --audio system against ffmpeg's
x11grab with its pulse input, recording the same scene in one run.

The scene (bench/flashclick) turns a 200x200 square white and plays a click into the default
output at the same instant once a second; both capturers record the 400x400 area around it at
30 fps with the output's monitor. In each file, the click's onset (decoded samples, placed by
the first audio frame's time) is set against the flash: the time halfway between the last dark
frame and the first lit one, the best estimate of when the flash happened (the first lit frame
alone is late by up to a frame). Rows:
  sync     median and worst |click - flash| over the events, and the median signed offset
  drift    the median offset of the last 20 events less that of the first 20 (use --seconds 600
           for the 10-minute figure; --rate 44100 runs the output at 44.1 kHz)
Then capture_server alone, with the scene playing a steady 1 kHz tone:
  continuity  the sound track's start and duration against the video's, and the tone's gaps
              (1 ms blocks below half its level) and glitches (a sample step beyond 1.5 times
              the tone's own largest)
  cost        capture_server's CPU at 30 fps with --audio system less with --audio none (two
              runs of each, alternated), as a share of one core; frames missing from the files
Everything runs in a private sound session (scripts/sound-session.sh) on a private Xvfb.

Usage: bench/sound_bench.py [--seconds S] [--rate HZ] [--cost-seconds S] [--no-cost] [--build DIR]
"""
import argparse
import array
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

FPS = 30
AREA = (1300, 300, 400, 400)  # the square is at 1400,400 200x200: its centre is 200,200 in the area
RATE = 48000


def frame_times(path, stream):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                          "frame=best_effort_timestamp_time", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout
    values = (line.split(",")[0] for line in out.split())
    return [float(t) for t in values if t not in ("", "N/A")]


def brightness(path):
    """The square's centre's grey level in every frame, in decoding order."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-vf",
                          "crop=40:40:180:180,scale=1:1:flags=area", "-vsync", "0", "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], capture_output=True).stdout
    return list(raw)


def samples(path):
    """The first sound track, mono float samples at 48 kHz, and the time of the first sample."""
    first = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-read_intervals", "%+#4",
                            "-show_entries", "frame=best_effort_timestamp_time", "-of", "csv=p=0", path],
                           capture_output=True, text=True).stdout.split()
    first = [t.split(",")[0] for t in first if t.split(",")[0] not in ("", "N/A")]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-ar", str(RATE),
                          "-f", "f32le", "-"], capture_output=True).stdout
    values = array.array("f")
    values.frombytes(raw[:len(raw) // 4 * 4])
    if not first or not values:
        benchlib.fail(f"{path}: no sound track")
    return values, float(first[0])


def onsets(values, start):
    """Times of the clicks' onsets: the first sample above 0.1 after at least 0.3 s below it."""
    block = RATE // 1000
    found = []
    quiet_until = 0
    for b in range(0, len(values) - block, block):
        if b < quiet_until:
            continue
        chunk = values[b:b + block]
        if max(chunk) > 0.1 or min(chunk) < -0.1:
            i = next(k for k in range(b, b + block) if abs(values[k]) > 0.1)
            found.append(start + i / RATE)
            quiet_until = i + int(0.5 * RATE)
    return found


def flashes(path):
    times = frame_times(path, "v:0")
    levels = brightness(path)
    if len(levels) != len(times) or len(times) < 2:
        benchlib.fail(f"{path}: {len(levels)} decoded frames against {len(times)} frame times")
    events = []
    for j in range(1, len(times)):
        if levels[j] > 128 and levels[j - 1] <= 128:
            events.append(((times[j - 1] + times[j]) / 2, times[j], times[j - 1]))
    return events, times


def sync_figures(path, errors):
    """Offsets of each click from its flash in the file, less the scene's own error for that
    event: the file holds every flash of the scene, in order, as the scene ran only while both
    capturers recorded. A flash without its click counts as a click lost."""
    events, _ = flashes(path)
    values, start = samples(path)
    clicks = onsets(values, start)
    if len(events) != len(errors):
        benchlib.fail(f"{path}: {len(events)} flashes for the scene's {len(errors)} events (flashes at "
                      f"{', '.join(f'{lit:.2f}' for _, lit, _ in events)})")
    offsets, late, outside = [], [], []
    for (mid, lit, dark), error in zip(events, errors):
        if error is None:
            continue
        near = [click for click in clicks if abs(click - error - mid) < 0.4]
        if near:
            click = near[0] - error
            offsets.append(click - mid)
            late.append(click - lit)
            # The flash happened between the last dark frame and the first lit one: a click
            # outside that span is off by at least this much.
            outside.append(max(0.0, dark - click, click - lit))
    if len(offsets) < 2:
        benchlib.fail(f"{path}: {len(offsets)} of {len(events)} clicks found")
    magnitudes = [abs(o) for o in offsets]
    head, tail = offsets[:20], offsets[-20:]
    return {"events": len(offsets), "lost": sum(1 for e in errors if e is not None) - len(offsets), "median_abs": statistics.median(magnitudes),
            "worst": max(magnitudes), "outside": max(outside), "median": statistics.median(offsets), "first_frame": statistics.median(late),
            "drift": statistics.median(tail) - statistics.median(head)}


def continuity(path):
    times = frame_times(path, "v:0")
    values, start = samples(path)
    video_start, video_end = times[0], times[-1] + 1.0 / FPS
    sound_end = start + len(values) / RATE
    # Skip the edges: the tone is measured where both tracks run.
    lo, hi = int(0.1 * RATE), len(values) - int(0.1 * RATE)
    own = 0.5 * 2 * 3.141592653589793 * 1000 / RATE
    block = RATE // 1000
    gaps = [b / RATE for b in range(lo, hi - block, block)
            if max(values[b:b + block]) < 0.25 and min(values[b:b + block]) > -0.25]
    steps = [i / RATE for i in range(lo, hi - 1) if abs(values[i + 1] - values[i]) > 1.5 * own]
    gaps_frames = sum(1 for a, b in zip(times, times[1:]) if b - a > 1.5 / FPS)
    return {"start": start - video_start, "duration": (sound_end - start) - (video_end - video_start),
            "glitches": len(steps), "gaps": len(gaps), "where": sorted(set(round(t, 1) for t in gaps + steps))[:8], "frames": len(times), "frame_gaps": gaps_frames,
            "seconds": video_end - video_start}


def scene_errors(log):
    """For each event, when its click came out of the output less when its flash was drawn (the
    middle of the draw's round trip), by the scene's log: the scene's own error, the same for
    both capturers."""
    flash, heard = {}, {}
    with open(log) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "flash":
                flash[int(parts[1])] = (int(parts[2]) + int(parts[3])) / 2e9
            elif parts[0] == "heard":
                heard[int(parts[1])] = int(parts[2]) / 1e9
    if not flash or len(heard) < len(flash) / 2:
        benchlib.fail(f"the scene heard {len(heard)} of its {len(flash)} clicks ({log})")
    # None for a click that never came out (the scene itself was starved): no capturer has it.
    return [heard[k] - flash[k] if k in heard else None for k in range(len(flash))]


def start_scene(display, work, sound):
    log = os.path.join(work, f"flashclick-{sound}.log")
    display.scene_log = log
    proc = subprocess.Popen([benchlib.tool(display.build, os.path.join("bench", "flashclick")), "--sound", sound,
                             "--log", log], env=display.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    line = proc.stdout.readline()
    if not line.startswith("flashclick ready"):
        benchlib.fail(f"the scene did not start: {line.strip() or 'no output'}")
    return proc


def capture(build, display, work, name, audio, extra=()):
    folder = os.path.join(work, name)
    os.makedirs(folder)
    x, y, w, h = AREA
    proc, log = benchlib.start_capture_server(build, display, folder, [
        "--area", f"{x},{y},{w},{h}", "--fps", str(FPS), "--handler", "video", "--audio", audio,
        "--start", *extra], log_name="console.log")
    return proc, folder, log


def finish(proc, folder, log):
    benchlib.stop(proc)
    path = os.path.join(folder, "capture", "capture0.mkv")
    if not os.path.exists(path):
        benchlib.fail(f"{path} was not written" + benchlib.tail(log))
    return path


def ffmpeg_capture(display, work):
    x, y, w, h = AREA
    path = os.path.join(work, "ffmpeg.mkv")
    proc = subprocess.Popen(["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-framerate", str(FPS), "-video_size",
                             f"{w}x{h}", "-i", f"{display.name}+{x},{y}", "-f", "pulse", "-i", "speakers.monitor",
                             "-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-c:a", "libopus", path],
                            env=display.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "ffmpeg.log"), "w"))
    return proc, path


def stop_ffmpeg(proc):
    try:
        proc.communicate(b"q", timeout=20)
    except subprocess.TimeoutExpired:
        benchlib.stop(proc)


def scene_dropouts(log):
    """How many milliseconds of the scene's tone never came out of the output so far."""
    with open(log) as f:
        return sum(1 for line in f if line.startswith("dropout "))


def cost_run(build, display, work, name, audio, seconds):
    dropouts = scene_dropouts(display.scene_log)
    proc, folder, log = capture(build, display, work, name, audio)
    time.sleep(3.0)  # past the start
    start = benchlib.Sample([proc.pid])
    time.sleep(seconds)
    cpu, wall, _ = benchlib.Sample([proc.pid]).since(start)
    path = finish(proc, folder, log)
    return cpu[proc.pid] / wall, path, scene_dropouts(display.scene_log) - dropouts


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=40, help="length of the side-by-side recording (default 40)")
    parser.add_argument("--rate", type=int, default=48000, help="the output's rate (default 48000; 44100 too)")
    parser.add_argument("--cost-seconds", type=int, default=30, help="each cost run's measured seconds (default 30)")
    parser.add_argument("--no-cost", action="store_true", help="the side-by-side rows only")
    parser.add_argument("--build", help="build directory (default: build/release, ci or dev)")
    opts = parser.parse_args()

    if not os.environ.get("DESKCAST_SOUND_SESSION"):
        if os.environ.get("DESKCAST_SOUND_UNAVAILABLE"):
            benchlib.fail(f"no sound session: {os.environ['DESKCAST_SOUND_UNAVAILABLE']}")
        env = dict(os.environ, DESKCAST_SPEAKERS_RATE=str(opts.rate))
        script = os.path.join(benchlib.ROOT, "scripts", "sound-session.sh")
        raise SystemExit(subprocess.run([script, "--", sys.executable, *sys.argv], env=env).returncode)

    benchlib.ensure_ffmpeg()
    build = benchlib.build_dir(opts.build)
    sinks = subprocess.run(["pactl", "list", "short", "sinks"], capture_output=True, text=True).stdout
    speakers = next((line for line in sinks.splitlines() if "\tspeakers\t" in line), "")
    print(f"the output: {' '.join(speakers.split(chr(9))[3:4]) or '?'}", flush=True)

    with tempfile.TemporaryDirectory(prefix="sound-bench-") as work, \
            benchlib.Display(content=None, build=build) as display:
        display.build = build
        # Both record before the scene's first event and after its last.
        ours, ours_folder, ours_log = capture(build, display, work, "ours", "system")
        benchlib.wait_for_line(ours_log, r"^Recording: ", 30, "capture_server's recording", ours)
        peer, peer_path = ffmpeg_capture(display, work)
        time.sleep(2.0)
        scene = start_scene(display, work, "click")
        print(f"recording {opts.seconds} s side by side ...", flush=True)
        time.sleep(opts.seconds)
        benchlib.stop(scene)
        time.sleep(0.5)
        stop_ffmpeg(peer)
        ours_path = finish(ours, ours_folder, ours_log)
        errors = scene_errors(display.scene_log)
        heard = [e for e in errors if e is not None]
        print(f"the scene: each click came out of the output {1000 * statistics.median(heard):.1f} ms after its "
              f"flash (median; {1000 * min(heard):.1f} to {1000 * max(heard):.1f}; {len(errors) - len(heard)} never "
              "came out); each offset below is less its event's")
        print(f"{'sync':<10}{'events':>7}{'lost':>6}{'median |off|':>14}{'worst':>9}{'surely':>8}{'median off':>12}"
              f"{'first lit':>11}{'drift':>9}   (ms; offset = click - flash, the flash halfway between the last dark "
              "frame and the first lit one; surely: the worst distance of a click outside those two frames)")
        for name, path in (("deskcast", ours_path), ("ffmpeg", peer_path)):
            r = sync_figures(path, errors)
            print(f"{name:<10}{r['events']:>7}{r['lost']:>6}{1000 * r['median_abs']:>14.1f}{1000 * r['worst']:>9.1f}{1000 * r['outside']:>8.1f}"
                  f"{1000 * r['median']:>12.1f}{1000 * r['first_frame']:>11.1f}{1000 * r['drift']:>9.1f}", flush=True)

        if opts.no_cost:
            return
        scene = start_scene(display, work, "tone")
        runs = {"none": [], "system": []}
        paths = []
        for round_ in range(2):
            for audio in ("none", "system"):
                share, path, dropouts = cost_run(build, display, work, f"cost-{audio}-{round_}", audio,
                                                 opts.cost_seconds)
                runs[audio].append(share)
                paths.append((audio, path, dropouts))
        benchlib.stop(scene)
        for audio, path, dropouts in paths:
            if audio == "system":
                c = continuity(path)
                print(f"continuity: sound starts {1000 * c['start']:+.1f} ms from the picture, its duration "
                      f"{1000 * c['duration']:+.1f} ms against the picture's {c['seconds']:.2f} s; "
                      f"{c['gaps']} gaps, {c['glitches']} glitches{' at ' if c['where'] else ''}"
                      f"{', '.join(f'{t} s' for t in c['where'])}; {c['frames']} frames, "
                      f"{c['frame_gaps']} missing; the scene's own dropouts meanwhile: {dropouts} ms", flush=True)
        for audio, path, _ in paths:
            if audio == "none":
                times = frame_times(path, "v:0")
                print(f"without sound: {len(times)} frames, "
                      f"{sum(1 for a, b in zip(times, times[1:]) if b - a > 1.5 / FPS)} missing")
        none, system = statistics.mean(runs["none"]), statistics.mean(runs["system"])
        print(f"cost: {100 * none:.2f} % of a core without sound, {100 * system:.2f} % with "
              f"(runs {', '.join(f'{100 * v:.2f}' for v in runs['none'])} / "
              f"{', '.join(f'{100 * v:.2f}' for v in runs['system'])}): sound adds {100 * (system - none):.2f} %")


if __name__ == "__main__":
    main()
