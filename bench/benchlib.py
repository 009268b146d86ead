"""Shared pieces of the benchmark drivers: a private Xvfb with the scene, process CPU and memory,
a spinner that keeps a core busy, and loud failures."""
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def fail(message):
    """Ends the benchmark with a clear message and a non-zero status."""
    sys.stdout.flush()
    print(f"benchmark failed: {message}", file=sys.stderr)
    raise SystemExit(1)


def build_dir(explicit=None, program=os.path.join("capture_server", "capture_server")):
    if explicit:
        path = os.path.abspath(explicit)
        if not os.path.exists(os.path.join(path, program)):
            fail(f"{program} not found below {path}")
        return path
    for name in ("release", "ci", "dev"):
        path = os.path.join(ROOT, "build", name)
        if os.path.exists(os.path.join(path, program)):
            return path
    fail(f"no build with {program} found: run scripts/build.sh release first")


def tool(build, relative):
    """Path of a built program, or a loud failure naming the target to build."""
    path = os.path.join(build, relative)
    if not os.access(path, os.X_OK):
        fail(f"{path} is missing: build it first (cmake --build {build} --target {os.path.basename(relative)})")
    return path


def require(program, hint):
    if shutil.which(program) is None:
        fail(f"{program} is not installed ({hint})")


def ensure_ffmpeg():
    """ffmpeg is the comparison: installed with apt-get when it is missing."""
    if shutil.which("ffmpeg"):
        return
    print("ffmpeg is missing: installing it for the comparison (apt-get install -y ffmpeg)", flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.run(sudo + ["apt-get", "install", "-y", "--no-install-recommends", "ffmpeg"], env=env).returncode \
            or shutil.which("ffmpeg") is None:
        fail("could not install ffmpeg")


def cpu_seconds(pid):
    """User plus system CPU time of a process (all its threads), in seconds; 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return 0.0
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def machine_busy_seconds():
    """CPU seconds the whole machine (all cores) spent in anything but idle and iowait."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    return (sum(values) - values[3] - values[4]) / CLK_TCK


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


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


class Sample:
    """CPU of some processes, of the whole machine, the time and the load average, at one moment."""

    def __init__(self, pids):
        self.cpu = {pid: cpu_seconds(pid) for pid in pids}
        self.machine = machine_busy_seconds()
        self.time = time.monotonic()
        self.load = load_average()

    def since(self, start):
        """Per pid CPU seconds, wall seconds, and cores' worth used by every other process."""
        cpu = {pid: self.cpu[pid] - start.cpu.get(pid, 0.0) for pid in self.cpu}
        wall = self.time - start.time
        other = max(0.0, (self.machine - start.machine - sum(cpu.values())) / wall) if wall > 0 else float("nan")
        return cpu, wall, other


class Display:
    """A private Xvfb screen showing one content of the scene (moving or desktop), or nothing
    (content None)."""

    def __init__(self, size="1920x1080", scene_fps=30, scene_log=None, content="moving", build=None):
        require("Xvfb", "apt-get install xvfb")
        scene = tool(build or build_dir(), os.path.join("bench", "scene")) if content else None
        self.number = self._free_display()
        self.name = f":{self.number}"
        self.content = content
        self.xvfb = subprocess.Popen(["Xvfb", self.name, "-screen", "0", f"{size}x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.scene = None
        socket = f"/tmp/.X11-unix/X{self.number}"
        for _ in range(200):
            if os.path.exists(socket) or self.xvfb.poll() is not None:
                break
            time.sleep(0.05)
        if not os.path.exists(socket):
            self.close()
            fail(f"Xvfb did not start on {self.name}")
        runtime = f"/tmp/runtime-{os.getuid()}"
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        self.env = dict(os.environ, DISPLAY=self.name, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb")
        if os.environ.get("DESKCAST_SOUND_SESSION"):
            self.env["XDG_RUNTIME_DIR"] = os.environ["XDG_RUNTIME_DIR"]  # where the sound server is
        if not content:
            return
        args = [scene, "--content", content, "--fps", str(scene_fps)]
        if scene_log:
            args += ["--log", scene_log]
        self.scene = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # The scene renders its content before it says so; on a busy machine that takes seconds.
        line = self.scene.stdout.readline()
        if not line.startswith("scene ready"):
            self.close()
            fail(f"the scene did not start: {line.strip() or 'no output'}")
        threading.Thread(target=self.scene.stdout.read, daemon=True).start()  # never let its pipe fill

    @staticmethod
    def _free_display():
        for n in range(90, 250):
            if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return n
        fail("no free X display number")

    def check(self):
        for name, proc in (("Xvfb", self.xvfb), ("the scene", self.scene)):
            if proc is None or proc.poll() is not None:
                fail(f"{name} ended during the run")

    def close(self):
        for proc in (self.scene, self.xvfb):
            if proc is not None:
                stop(proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Spinner:
    """Another process that keeps one core busy: a shell loop, pinned to a core or free to move."""

    def __init__(self, core=None):
        self.core = core
        preexec = (lambda: os.sched_setaffinity(0, {core})) if core is not None else None
        self.proc = subprocess.Popen(["sh", "-c", "while :; do :; done"], preexec_fn=preexec)

    @property
    def pid(self):
        return self.proc.pid

    def describe(self):
        return f"one core kept busy by a shell loop ({'pinned to core %d' % self.core if self.core is not None else 'not pinned'})"

    def close(self):
        stop(self.proc)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def wait_for_line(path, pattern, timeout, what, proc=None):
    """Waits for a line matching `pattern` in the file at `path` (a program's console log)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with open(path, errors="replace") as f:
            match = re.search(pattern, f.read(), re.M)
        if match:
            return match
        if proc is not None and proc.poll() is not None:
            fail(f"{what}: the program ended (status {proc.returncode})" + tail(path))
        time.sleep(0.05)
    fail(f"timed out waiting for {what}")


def start_capture_server(build, display, work, args, log_name="capture_server.log", env=None):
    """capture_server with `args` on the display (and `env` added to its environment), its
    console in work/log_name; returns the process and the log's path once it has printed its
    port (its window is up by then)."""
    log_path = os.path.join(work, log_name)
    with open(log_path, "w") as log:
        proc = subprocess.Popen([tool(build, os.path.join("capture_server", "capture_server")), "--port", "0",
                                 "--bind", "127.0.0.1"] + list(args),
                                cwd=work, env=dict(display.env, **(env or {})), stdout=log,
                                stderr=subprocess.STDOUT)
    wait_for_line(log_path, r"^Port: (\d+)$", 60, "capture_server's port", proc)
    time.sleep(0.5)  # its window mapped and painted
    return proc, log_path


def tail(path, chars=600):
    """The end of a program's console log, for a failure message."""
    try:
        with open(path, errors="replace") as f:
            text = f.read().strip()
    except OSError:
        return ""
    return f"; its console ends: {text[-chars:]}" if text else ""


def clean(path):
    shutil.rmtree(path, ignore_errors=True)
