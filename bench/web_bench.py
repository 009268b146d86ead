#!/usr/bin/env python3
"""Frame rate of the web view: capture_server captures a 1920x1080 moving scene on a private
Xvfb at 30 fps with --web, and a headless Chromium on the same machine shows it. The rate is the
page's own, measured over the requestAnimationFrame times of the frames it draws.

Usage: bench/web_bench.py [SECONDS]
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402


def main():
    seconds = sys.argv[1] if len(sys.argv) > 1 else "20"
    build = benchlib.build_dir()
    with benchlib.Display(scene_fps=30) as display:
        exe = os.path.join(build, "capture_server", "capture_server")
        args = [exe, "-geometry", "400x500+1500+500", "--port", "0", "--bind", "127.0.0.1", "--web", "0",
                "--area", "0,0,1920,1080", "--fps", "30", "--handler", "tcp", "--start"]
        server = subprocess.Popen(args, env=display.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True, bufsize=1)
        url = None
        for line in server.stdout:
            match = re.match(r"Web view: (http://\S+)", line)
            if match:
                url = match.group(1)
                break
        if not url:
            raise SystemExit("capture_server printed no web view address")
        # Keep reading the server's lines so that it never blocks on a full pipe.
        drain = subprocess.Popen(["cat"], stdin=server.stdout, stdout=open(os.environ.get("WEB_BENCH_LOG", os.devnull), "w"))
        print(f"1920x1080 @ 30 fps, web view at {url}")
        probe = subprocess.run([os.path.join(build, "bench", "webprobe"), url, seconds], env=display.env)
        benchlib.stop(server)
        drain.wait()
        return probe.returncode


if __name__ == "__main__":
    sys.exit(main())
