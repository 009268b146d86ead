#!/usr/bin/env python3
"""The web view in a headless Chromium on this machine, for both contents of the scene at 30 fps:
(a) the whole moving 1920x1080 screen, (b) the still desktop region (1240x1080 at x=680) with one
small video. For each it prints the page's own frame rate (over the requestAnimationFrame times
of the frames it draws that changed the picture), the pieces the page drew by kind, and capture_server's CPU per captured
frame first with no browser and then with the browser watching, with the load average.

With --timeline capture_server (DESKCAST_TIMELINE) and the page log each frame's stages, and it
prints where the frames went: grabs no browser was ready for, the time from grab to sent, on
the wire, to decoded and to drawn.

Usage: bench/web_bench.py [--seconds N] [--only a|b] [--lossless] [--timeline]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

CONTENTS = {"a": ("moving", "0,0,1920,1080"), "b": ("desktop", "680,0,1240,1080")}


def descendants(pid):
    """`pid` and every process below it (the browser's renderer, GPU and utility processes)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        todo.extend(children.get(current, []))
    return found


def captured(log_path):
    with open(log_path, errors="replace") as f:
        return f.read().count("Captures/s ")


def cpu_per_frame(server, log_path, seconds):
    """capture_server's CPU ms per captured frame over `seconds` from now, and the load average."""
    start, frames0 = benchlib.Sample([server.pid]), captured(log_path)
    time.sleep(seconds)
    end, frames1 = benchlib.Sample([server.pid]), captured(log_path)
    cpu, _, _ = end.since(start)
    return 1000.0 * cpu[server.pid] / max(1, frames1 - frames0), end.load


def run(build, key, seconds, lossless, timeline=False):
    """Measures content `key` and prints its figures; returns them (see measure())."""
    r = measure(build, key, seconds, lossless, timeline)
    print(f"({key}) {r['content']}, {r['area']} at 30 fps{' (--web-lossless)' if lossless else ''}:")
    for line in r["summary"]:
        print("    " + line)
    print(f"    capture_server CPU per frame: {r['alone_ms']:.1f} ms without a browser (load {r['alone_load']:.2f}), "
          f"{r['watched_ms']:.1f} ms with it (load {r['load']:.2f}, other processes {r['other']:.2f} cores): "
          f"{100.0 * (r['watched_ms'] / r['alone_ms'] - 1):+.0f} %")
    print(f"    captured {r['captured_fps']:.1f} frames/s while watched; the browser's processes used "
          f"{r['browser_ms']:.1f} ms CPU per frame shown ({r['browser_cores']:.2f} cores)")
    for line in r["timeline"] or []:
        print("    " + line)
    return r


def measure(build, key, seconds, lossless=False, timeline=False):
    """The web view of content `key` in a headless Chromium for `seconds`: the page's distinct
    frames drawn a second ("shown_fps", from its status), its own rate over requestAnimationFrame
    times ("page_fps"), capture_server's CPU per frame without and with the browser, and the
    probe's lines ("summary"); with `timeline`, where the frames went ("timeline": lines)."""
    content, area = CONTENTS[key]
    work = tempfile.mkdtemp(prefix="web_bench.")
    server_timeline, page_timeline = os.path.join(work, "server.timeline"), os.path.join(work, "page.timeline")
    with benchlib.Display(scene_fps=30, content=content, build=build) as display:
        args = ["-geometry", "400x500+1500+500", "--web", "0", "--area", area, "--fps", "30", "--handler", "tcp",
                "--start"] + (["--web-lossless"] if lossless else [])
        server, log_path = benchlib.start_capture_server(
            build, display, work, args, env={"DESKCAST_TIMELINE": server_timeline} if timeline else None)
        url = benchlib.wait_for_line(log_path, r"^Web view: (http://\S+)", 30, "the web view's address", server).group(1)
        time.sleep(3)  # the capture settles
        alone_ms, alone_load = cpu_per_frame(server, log_path, seconds)

        probe = subprocess.Popen([benchlib.tool(build, os.path.join("bench", "webprobe")), url, str(seconds)],
                                 env=dict(display.env, WEBPROBE_TIMELINE=page_timeline) if timeline else display.env,
                                 stdout=subprocess.PIPE, text=True)
        start = None
        lines = []
        for line in probe.stdout:
            lines.append(line.rstrip())
            if start is None and line.startswith("connected,"):
                browser = descendants(probe.pid)
                start, frames0 = benchlib.Sample([server.pid] + browser), captured(log_path)
                shown0 = int(line.split()[1])
            if line.startswith("connected,"):
                shown1 = int(line.split()[1])
            if line.startswith("page rate"):
                end, frames1 = benchlib.Sample([server.pid] + browser), captured(log_path)
        probe.wait()
        benchlib.stop(server)
        display.check()
    report = timeline_report(server_timeline, page_timeline) if timeline and start is not None else None
    benchlib.clean(work)
    if start is None:
        benchlib.fail("the page showed no frame: " + " / ".join(lines[-5:]))
    cpu, wall, other = end.since(start)
    watched_ms = 1000.0 * cpu[server.pid] / max(1, frames1 - frames0)
    summary = [l for l in lines if not l.startswith("connected,")]
    shown = re.search(r"^frames shown: \d+ in \S+ s = ([0-9.]+) frames/s", "\n".join(summary), re.M)
    page = re.search(r"^page rate \(.*\): ([0-9.]+) frames/s", "\n".join(summary), re.M)
    browser_cpu = sum(cpu[pid] for pid in browser)
    return {"content": content, "area": area, "summary": summary, "alone_ms": alone_ms, "alone_load": alone_load,
            "watched_ms": watched_ms, "load": end.load, "other": other,
            "captured_fps": (frames1 - frames0) / wall,
            "browser_ms": 1000.0 * browser_cpu / max(1, shown1 - shown0), "browser_cores": browser_cpu / wall,
            "shown_fps": float(shown.group(1)) if shown else float("nan"),
            "page_fps": float(page.group(1)) if page else float("nan"), "timeline": report}


def timeline_report(server_path, page_path):
    """Where the frames grabbed while the page recorded went: lines to print. The page's clock
    (the wall clock) is brought to the monotonic one of the server's stamps."""
    wall_to_monotonic = time.monotonic() * 1000 - time.time() * 1000
    page = []
    with open(page_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 5:
                received, size, decoded, drawn, pieces = map(float, parts)
                page.append((received + wall_to_monotonic, int(size), decoded + wall_to_monotonic,
                             drawn + wall_to_monotonic, int(pieces)))
    if not page:
        return ["timeline: the page drew no frame while it recorded"]
    first, last = page[0][0], page[-1][3]
    grabs, skips, sent = {}, {}, {}
    with open(server_path) as f:
        for line in f:
            us, stage, key, value = line.split()
            ms = int(us) / 1000.0
            if stage == "webgrab" and first - 200 <= ms <= last:
                grabs[int(key)] = (ms, int(value))
            elif stage == "webskip":
                skips[int(key)] = int(value)
            elif stage == "websent":
                sent.setdefault(int(key), (ms, int(value)))
    skipped = {n: r for n, r in skips.items() if n in grabs}
    sent_here = {n: v for n, v in sent.items() if n in grabs}
    counters = [c for _, (ms, c) in sorted(grabs.items())]
    repeats = sum(1 for a, b in zip(counters, counters[1:]) if a == b and a >= 0)
    by_size = {}
    for n in sorted(sent_here):
        by_size.setdefault(sent_here[n][1], []).append(sent_here[n][0])
    travel = []
    for received, size, _, _, _ in page:
        if by_size.get(size):
            travel.append(received - by_size[size].pop(0))

    def median(values):
        return f"{statistics.median(values):.1f}" if values else "-"

    span = (last - first) / 1000.0
    drew = [p for p in page if p[4] > 0]
    return [
        f"timeline over {span:.1f} s: {len(grabs)} grabs, {len(skipped)} went to no browser (none ready: "
        f"{sum(1 for r in skipped.values() if r == 1)}, worker full: {sum(1 for r in skipped.values() if r == 2)}), "
        f"{len(sent_here)} sent; {repeats} grabs of the scene frame grabbed before",
        f"  page: {len(page)} frames drawn, {len(drew)} of them changed the picture ({len(drew) / span:.1f}/s)",
        f"  median ms: grab to sent {median([sent_here[n][0] - grabs[n][0] for n in sent_here])}, sent to received "
        f"{median(travel)}, received to decoded {median([p[2] - p[0] for p in page])}, decoded to drawn "
        f"{median([p[3] - p[2] for p in page])}",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--only", choices=sorted(CONTENTS))
    parser.add_argument("--lossless", action="store_true", help="capture_server --web-lossless")
    parser.add_argument("--timeline", action="store_true",
                        help="capture_server and the page log each frame's stages; print where frames went")
    args = parser.parse_args()
    build = benchlib.build_dir()
    print(f"{os.cpu_count()} cores, load average {benchlib.load_average():.2f} at the start")
    for key in ([args.only] if args.only else sorted(CONTENTS)):
        run(build, key, args.seconds, args.lossless, args.timeline)
    return 0


if __name__ == "__main__":
    sys.exit(main())
