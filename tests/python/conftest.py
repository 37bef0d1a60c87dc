"""Shared fixtures. The suite tests the installed extension (`pip install .`);
put a build directory first on PYTHONPATH to test a local build instead."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
from types import SimpleNamespace

import pytest

import tesrak

if getattr(tesrak, "__file__", None) is None:
    raise ImportError("the tesrak extension is not installed: run `pip install .` first")


class FakeTensor:
    """The tensor protocol over raw memory, for what torch cannot produce:
    unaligned addresses, odd attribute values, callbacks."""

    def __init__(self, address, count, dtype="torch.float32", device="cpu", contiguous=True):
        self._address, self._count, self._contiguous = address, count, contiguous
        self.dtype, self.device = dtype, SimpleNamespace(type=device)

    def data_ptr(self):
        return self._address

    def is_contiguous(self):
        return self._contiguous

    def numel(self):
        return self._count


@pytest.fixture
def fake_tensor():
    return FakeTensor


def pick_free_port():
    """A loopback port nothing listens on (not 0: the start-up line would show 0)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def free_port():
    return pick_free_port


def files_open_in(pid):
    """The paths of the files that process `pid` has open; an unnamed file
    (O_TMPFILE) reads as its directory, "/#", its inode and " (deleted)"."""
    fds = f"/proc/{pid}/fd"
    paths = []
    try:
        names = os.listdir(fds)
    except OSError:  # the process has ended
        return paths
    for fd in names:
        try:
            paths.append(os.readlink(os.path.join(fds, fd)))
        except OSError:  # closed meanwhile
            pass
    return paths


@pytest.fixture(scope="session")
def preload_library(tmp_path_factory):
    """Builds a library of the tests' own (a C or C++ source beside them) to
    be preloaded into a child with LD_PRELOAD, once a session; gives its
    path."""
    built = {}

    def build(source_name):
        if source_name not in built:
            source = os.path.join(os.path.dirname(__file__), source_name)
            library = tmp_path_factory.mktemp("preload") / (os.path.splitext(source_name)[0] + ".so")
            compiler = "c++" if source_name.endswith(".cpp") else "cc"
            subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(library), source, "-ldl"],
                           check=True, timeout=60)
            built[source_name] = str(library)
        return built[source_name]

    return build


@pytest.fixture(scope="session")
def open_files():
    return files_open_in


def read_lines(child, stream, count, seconds=60):
    """The next `count` lines that `child` writes to `stream`, read by plain
    readline()s alone: select() on the pipe would not see what an earlier
    readline() took past its line into the stream's buffer, and would wait
    for it in vain. A child that has not written them within `seconds` is
    killed, which ends the reads, and reaped; the test fails with what came."""
    killed = threading.Event()

    def kill():
        killed.set()
        child.kill()

    watchdog = threading.Timer(seconds, kill)
    watchdog.start()
    try:
        lines = [stream.readline() for _ in range(count)]
    finally:
        watchdog.cancel()
        watchdog.join()  # a kill under way has been sent
        if killed.is_set():
            child.wait()
    assert not killed.is_set() and lines[-1].endswith("\n"), (
        f"{count} lines wanted within {seconds} s; "
        f"{'killed' if killed.is_set() else 'output ended'} after {lines!r}")
    return lines


@pytest.fixture(scope="session")
def child_lines():
    return read_lines


def output_of_refusal(child, seconds, what):
    """The standard output and error of `child`, which is to refuse `what`
    and end. One that still runs after `seconds` took it and serves: it is
    killed there, and the test fails naming `what` and the child's output,
    long before the test's own time limit."""
    try:
        return child.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"{what} was accepted: still running after {seconds} s, "
                    f"having written {out!r} and {err!r}")


@pytest.fixture(scope="session")
def refusal_output():
    return output_of_refusal


@contextlib.contextmanager
def serving(script, *args):
    """Runs `script`, which serves a digest, in a child interpreter on a free
    port; gives the child and the port once its start-up line is out, and
    stops the child with Ctrl+C at the end unless it has ended."""
    port = pick_free_port()
    # A shell that started us in the background may have us ignore SIGINT;
    # the server must not inherit that, or Ctrl+C could not stop it.
    child = subprocess.Popen(
        [sys.executable, "-c", script, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env=dict(os.environ, TESRAK_PORT=str(port)),
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert read_lines(child, child.stderr, 1) == [
            f"tesrak visualizer running at http://127.0.0.1:{port}  (Ctrl+C to stop)\n"]
        yield child, port
    finally:
        child.send_signal(signal.SIGINT)
        try:
            child.wait(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            raise


@pytest.fixture(scope="session")
def visualizer_child():
    return serving
