"""Runs the larkpost binary under test in a clean environment, and what tests expect of its output."""

import collections
import contextlib
import fcntl
import os
import pty
import select
import shlex
import signal
import struct
import subprocess
import tempfile
import termios
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
BANNER = "\nLarkpost v1.0 mailer for WIN32 (95/NT)\n"


def larkpost_binary():
    return Path(os.environ.get("LARKPOST_BIN") or REPO / "build" / "larkpost")


def wrapper():
    return shlex.split(os.environ.get("LARKPOST_WRAPPER", ""))


def is_windows_build():
    return larkpost_binary().suffix.lower() == ".exe"


def under_wine():
    return bool(wrapper()) and Path(wrapper()[0]).name.startswith("wine")


def skip_or_fail(reason, name):
    """Skip for want of something, unless CI or LARKPOST_REQUIRE_<name>=1 says it must be there."""
    if os.environ.get("CI") == "true" or os.environ.get(f"LARKPOST_REQUIRE_{name}") == "1":
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason)


def text(s):
    """Expected stdout bytes: the Windows build writes stdout in text mode, so \\n becomes \\r\\n."""
    return (s.replace("\n", "\r\n") if is_windows_build() else s).encode()


def output(s):
    return text(BANNER + s)


def host_path(path):
    """A path as the program sees it: on Wine's Z: drive for the Windows build."""
    if is_windows_build() and under_wine():
        return "Z:" + str(path).replace("/", "\\")
    return str(path)


def settings_text(settings):
    nl = "\r\n" if is_windows_build() else "\n"
    return "".join(f"{line}{nl}" for line in ["[SMTP]"] + [f"{k}={v}" for k, v in settings.items()])


def server_settings(port, **extra):
    return {"Server": "127.0.0.1", "Port": port, "Address": "me@example.test", **extra}


def _wine_temp_dirs():
    # Wine takes TEMP from the prefix's registry, not from the environment.
    prefix = Path(os.environ.get("WINEPREFIX") or Path.home() / ".wine")
    users = prefix / "drive_c" / "users"
    return [d for d in (*users.glob("*/AppData/Local/Temp"), *users.glob("*/Temp")) if d.is_dir()]


def wine_local_app_data():
    """%LOCALAPPDATA% of the Wine prefix: Wine sets it from the prefix, whatever the environment says."""
    prefix = Path(os.environ.get("WINEPREFIX") or Path.home() / ".wine")
    found = [d for d in (prefix / "drive_c" / "users").glob("*/AppData/Local") if d.parent.parent.name != "Public"]
    if len(found) != 1:
        pytest.fail(f"no single user's AppData/Local in the Wine prefix {prefix}: {found}", pytrace=False)
    return found[0]


def _temp_files(dirs):
    return {p for d in dirs for p in d.iterdir() if p.name.lower().startswith("lkp")}


class Result(collections.namedtuple("Result", "status stdout")):
    def leftovers(self):
        """Temporary files (lkp*) the run left behind."""
        return sorted(str(p) for p in _temp_files(self.temp_dirs) - self.temp_before)

    def __repr__(self):
        return f"Result(status={self.status}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def _prepare_run(where, args, settings, env):
    """argv, environment, working directory and temporary directories for one run under `where`."""
    binary = larkpost_binary()
    if not binary.is_file():
        skip_or_fail(f"no larkpost binary at {binary} (build it, or set LARKPOST_BIN)", "BIN")
    run_dir = Path(tempfile.mkdtemp(prefix="run-", dir=where))
    tmp, home, xdg, cwd = (run_dir / name for name in ("tmp", "home", "xdg", "cwd"))
    for d in (tmp, home, xdg, cwd):
        d.mkdir()

    argv = wrapper() + [str(binary)]
    if settings is not None:
        if isinstance(settings, dict):
            settings = settings_text(settings)
        path = run_dir / "settings.ini"
        path.write_bytes(settings.encode() if isinstance(settings, str) else settings)
        path.chmod(0o600)  # it may hold a password or PasswordCommand
        argv.append("-" + host_path(path))
    argv += [str(a) for a in args]

    # Nothing of the caller's own mail setup may leak in.
    child_env = {k: v for k, v in os.environ.items()
                 if k == "PATH" or k.startswith(("ASAN_", "UBSAN_", "LSAN_"))}
    child_env.update(HOME=str(home), XDG_CONFIG_HOME=str(xdg), TMPDIR=str(tmp),
                     TEMP=host_path(tmp), TMP=host_path(tmp))
    temp_dirs = [tmp, cwd]
    if under_wine():
        # Wine finds its running wineserver through TMPDIR; starting a new one costs seconds a run.
        del child_env["TMPDIR"]
        child_env.update({k: v for k, v in os.environ.items() if k.startswith("WINE") or k == "TMPDIR"})
        # With HOME changed, Wine would otherwise make a new prefix for every run: slow.
        child_env.setdefault("WINEPREFIX", str(Path.home() / ".wine"))
        child_env.setdefault("WINEDEBUG", "-all")
        # Wine picks the code page from the locale; without one, arguments lose their accents.
        child_env["LANG"] = "C.UTF-8"
        temp_dirs += _wine_temp_dirs()
    child_env.update({k: str(v) for k, v in (env or {}).items()})
    return argv, child_env, cwd, temp_dirs


def run_larkpost(where, args=(), stdin=b"", settings=None, env=None, timeout=30, kill_after=None,
                 stderr_ok=False):
    """Run larkpost once with fresh TMPDIR, HOME, XDG_CONFIG_HOME and cwd under `where`.

    `settings`: a dict for section [SMTP], or the whole file as str or bytes; it is passed as
    the first argument "-<path>". `kill_after`: SIGKILL it after that many seconds.
    `stdin`: the input as bytes, or a file descriptor to read instead.
    `stderr_ok`: the test looks at result.stderr itself (warnings about the settings file).
    """
    argv, child_env, cwd, temp_dirs = _prepare_run(where, args, settings, env)
    temp_before = _temp_files(temp_dirs)
    started = time.monotonic()
    given_fd = isinstance(stdin, int)
    proc = subprocess.Popen(argv, stdin=stdin if given_fd else subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=child_env, cwd=cwd, start_new_session=True)
    if given_fd:
        stdin = None  # the program reads the descriptor itself
    try:
        if kill_after is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.communicate(stdin, timeout=kill_after)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            stdin = None
        stdout, stderr = proc.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        pytest.fail(f"larkpost did not finish within {timeout} s: {argv}", pytrace=False)
    # Every message goes to standard output; Wine may speak on standard error itself.
    # (--trace alone traces to standard error, by request; with --report=- the messages go there.)
    assert under_wine() or stderr_ok or "--trace" in args or "--report=-" in args or stderr == b"", \
        f"larkpost wrote to standard error: {stderr!r}"
    result = Result(proc.returncode, stdout)
    result.stderr, result.elapsed = stderr, time.monotonic() - started
    result.temp_dirs, result.temp_before = temp_dirs, temp_before
    return result


def type_at_console(where, args, prompt, typed, settings=None, env=None, timeout=30):
    """Run larkpost on a pseudo-terminal, type `typed` and Enter once `prompt` shows, and
    return (exit status, all the terminal showed). Under Wine the terminal becomes the
    program's console."""
    argv, child_env, cwd, _ = _prepare_run(where, args, settings, env)
    pid, terminal = pty.fork()
    if pid == 0:
        try:
            os.chdir(cwd)
            os.execvpe(argv[0], argv, child_env)
        finally:
            os._exit(127)
    # Wide enough that no message is wrapped.
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
    shown, deadline, typed_yet = b"", time.monotonic() + timeout, False
    try:
        while time.monotonic() < deadline:
            # Type only once the console has taken the terminal over (no echo, Enter as CR):
            # before that the terminal itself would echo and turn CR into LF.
            if not typed_yet and prompt in shown and not termios.tcgetattr(terminal)[3] & termios.ECHO:
                os.write(terminal, typed + b"\r")
                typed_yet = True
            if select.select([terminal], [], [], 0.2)[0]:
                try:
                    chunk = os.read(terminal, 4096)
                except OSError:  # the program ended and the terminal closed
                    chunk = b""
                if not chunk:
                    break
                shown += chunk
        else:
            pytest.fail(f"larkpost did not finish within {timeout} s at the console: {shown!r}", pytrace=False)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        os.close(terminal)
    return os.waitstatus_to_exitcode(status), shown
