"""Shared pieces of the benchmark drivers: a private Xvfb, the scene, process CPU and memory."""
import os
import shutil
import signal
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def build_dir():
    for name in ("release", "ci", "dev"):
        path = os.path.join(ROOT, "build", name)
        if os.path.exists(os.path.join(path, "capture_server", "capture_server")):
            return path
    raise SystemExit("no build found: run scripts/build.sh release first")


def cpu_seconds(pid):
    """User plus system CPU time of a live process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


class Display:
    """A private Xvfb screen with the moving scene on it."""

    def __init__(self, size="1920x1080", scene_fps=30, scene_log=None):
        self.number = self._free_display()
        self.name = f":{self.number}"
        self.xvfb = subprocess.Popen(["Xvfb", self.name, "-screen", "0", f"{size}x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        socket = f"/tmp/.X11-unix/X{self.number}"
        for _ in range(100):
            if os.path.exists(socket):
                break
            time.sleep(0.05)
        self.env = dict(os.environ, DISPLAY=self.name, XDG_RUNTIME_DIR="/tmp/runtime-" + str(os.getuid()))
        self.env.pop("QT_QPA_PLATFORM", None)
        args = [os.path.join(build_dir(), "bench", "scene"), "--fps", str(scene_fps)]
        if scene_log:
            args += ["--log", scene_log]
        self.scene = subprocess.Popen(args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.5)

    @staticmethod
    def _free_display():
        for n in range(90, 200):
            if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return n
        raise SystemExit("no free X display number")

    def close(self):
        for proc in (self.scene, self.xvfb):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def clean(path):
    shutil.rmtree(path, ignore_errors=True)
