"""visualize() blocks the calling (main) thread until Ctrl+C; a helper thread
drives the server meanwhile. Run on a daemon thread, it must let the
interpreter end."""

import _thread
import contextlib
import fcntl
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

import tesrak


@pytest.fixture
def python_handles_ctrl_c():
    """Python's own SIGINT handler for the test's duration. A shell that
    started the suite in the background has SIGINT ignored, and
    _thread.interrupt_main() then does nothing."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_served_digest_is_borrowed_until_ctrl_c_stops_it_promptly(monkeypatch, capfd, free_port,
                                                                  python_handles_ctrl_c):
    port = free_port()
    monkeypatch.setenv("TESRAK_PORT", str(port))
    digest = tesrak.TensorDigest([2, 2], 10, dtype="int32")
    digest.update([1, 2, 3, 4])
    seen, interrupted = [], []
    url = f"http://127.0.0.1:{port}/api/info"

    def helper():
        try:
            for _ in range(3000):  # the server listens once start-up is done
                try:
                    seen.append(urllib.request.urlopen(url, timeout=30).read())
                    break
                except OSError:
                    time.sleep(0.01)
            for call in (lambda: digest.quantile(0.5), lambda: digest.shape):
                with pytest.raises(RuntimeError) as raised:
                    call()
                seen.append(str(raised.value))
        finally:
            interrupted.append(time.monotonic())
            _thread.interrupt_main()

    for _ in range(2):  # a second call behaves as the first
        thread = threading.Thread(target=helper)
        thread.start()
        with pytest.raises(KeyboardInterrupt):
            digest.visualize()
        # ~100 ms: one poll of the caller plus one idle pause of the server;
        # the bound is loose for busy machines.
        assert time.monotonic() - interrupted[-1] < 1.0
        thread.join()
    assert seen == [b'{"shape":[2,2],"ndim":2}', "Already borrowed", "Already mutably borrowed"] * 2
    assert digest.quantile(1.0) == [1.0, 2.0, 3.0, 4.0]
    assert capfd.readouterr().err.startswith("tesrak visualizer running at http://127.0.0.1:")


# Serves from a daemon thread, as a training script would, until the main
# thread returns. The serving thread wakes every 50 ms to take the
# interpreter lock back for a signal check, and the interpreter ends it
# there once it is finalising. Finalisers that sleep keep it finalising
# meanwhile; "held" exits wait at the very last step of finalisation for a
# child's output to end, so the thread also wakes after the interpreter is
# gone, where asking for a new thread state crashed.
DAEMON = """import ctypes, os, subprocess, sys, threading, time, urllib.request
import tesrak
digest = tesrak.TensorDigest([2, 2], 10)
threading.Thread(target=digest.visualize, daemon=True).start()
for _ in range(1000):
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{os.environ['TESRAK_PORT']}/", timeout=10)
        break
    except OSError:
        time.sleep(0.01)

class SlowFinaliser:
    def __del__(self, pause=float(sys.argv[1]), sleep=time.sleep):
        sleep(pause)

keep = SlowFinaliser()
if sys.argv[2] == "held":
    sleeper = subprocess.Popen(["sleep", "0.12"], stdout=subprocess.PIPE)
    os.dup2(sleeper.stdout.fileno(), 0)
    getchar = ctypes.cast(ctypes.CDLL(None).getchar, ctypes.c_void_p)
    ctypes.pythonapi.Py_AtExit(getchar)
"""

EXIT_KINDS = [("0", "plain"), ("0.2", "plain"), ("0", "held")]


def distinct_free_ports(count):
    """`count` loopback ports, all different (each held until all are picked)."""
    with contextlib.ExitStack() as stack:
        sockets = [stack.enter_context(socket.socket()) for _ in range(count)]
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]


def exits_that_fail(script, argument_lists, banner_may_be_missing=False):
    """Runs `script` once per argument list, eight children at a time, each
    on a port of its own, and gives the runs that did not end cleanly: exit
    status 0, nothing on stdout, and on stderr only the start-up line (or
    nothing, where the exit may come before the server starts)."""
    at_once = 8
    failed = []
    for first in range(0, len(argument_lists), at_once):
        batch = argument_lists[first:first + at_once]
        ports = distinct_free_ports(len(batch))
        children = []
        try:
            for arguments, port in zip(batch, ports):
                children.append(subprocess.Popen(
                    [sys.executable, "-c", script, *arguments], stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                    env=dict(os.environ, TESRAK_PORT=str(port))))
            for child, arguments, port in zip(children, batch, ports):
                try:
                    out, err = child.communicate(timeout=60)
                except subprocess.TimeoutExpired:  # an exit that hangs ends the test
                    child.kill()
                    out, err = child.communicate()
                    pytest.fail(f"{arguments} still running after 60 s, "
                                f"having written {out!r} and {err!r}")
                banner = f"tesrak visualizer running at http://127.0.0.1:{port}  (Ctrl+C to stop)\n"
                clean_errs = (banner, "") if banner_may_be_missing else (banner,)
                if child.returncode != 0 or out != "" or err not in clean_errs:
                    failed.append((arguments, child.returncode, out, err))
        finally:  # a failure leaves none of the batch running, nor unreaped
            for child in children:
                if child.returncode is None:
                    child.kill()
                    child.communicate()
    return failed


def test_interpreters_exit_cleanly_while_daemon_threads_serve():
    # A crash in the last moments of an exit is rare in any one run: a few
    # hundred exits, some at a time.
    assert exits_that_fail(DAEMON, EXIT_KINDS * 80) == []


# Returns while the daemon thread's server is still starting: flushing and
# classifying a million cells on the worker pool. Nothing wakes the daemon
# thread to stop its server, so the exit itself must stop and wait for it
# before the pool's static state goes; a server left running there crashed
# the exit with "pure virtual method called" or "terminate called".
STARTING = """import array, sys, threading, time
import tesrak
digest = tesrak.TensorDigest([64, 64, 16, 16], 1)
if sys.argv[1] == "buffered":
    digest.update(array.array("f", [0.5]) * digest.numel)
threading.Thread(target=digest.visualize, daemon=True).start()
time.sleep(float(sys.argv[2]))
"""


def test_interpreters_exit_cleanly_while_a_daemon_threads_server_starts():
    # Most runs exit at once, as the crash came mostly then; the others a
    # few milliseconds into the start-up.
    pauses = ["0", "0", "0", "0.004", "0", "0", "0", "0.012"]
    runs = [(rows, pause) for pause in pauses for rows in ("empty", "buffered")] * 19
    assert exits_that_fail(STARTING, runs, banner_may_be_missing=True) == []


# Standard error is a pipe its reader never empties, and full before the
# server starts, so its start-up line can never be written. A stop, by
# Ctrl+C on the main thread or by the exit that ends a daemon thread's
# server, must not wait for that line.
STDERR_FULL = """import fcntl, os, signal, sys, threading, time
import tesrak
os.write(2, b"x" * fcntl.fcntl(2, fcntl.F_GETPIPE_SZ))
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
digest = tesrak.TensorDigest([16], compression=10)
if sys.argv[1] == "daemon":
    threading.Thread(target=digest.visualize, daemon=True).start()
    time.sleep(0.5)
else:
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        digest.visualize()
    except KeyboardInterrupt:
        print("interrupted")
"""


@pytest.mark.parametrize("caller, said", [("daemon", b""), ("main", b"interrupted\n")])
def test_a_stop_does_not_wait_for_a_full_standard_error(free_port, caller, said):
    child = subprocess.Popen(
        [sys.executable, "-c", STDERR_FULL, caller], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=dict(os.environ, TESRAK_PORT=str(free_port())))
    pipe_size = fcntl.fcntl(child.stderr.fileno(), fcntl.F_GETPIPE_SZ)
    try:
        child.wait(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        pytest.fail("still running 20 s after its server was to stop")
    finally:
        out, err = child.stdout.read(), child.stderr.read()
        child.stdout.close()
        child.stderr.close()
    assert (child.returncode, out, err) == (0, said, b"x" * pipe_size)


# A Ctrl+C that comes while the server classifies at start-up stops it
# before it says it is running. One worker thread makes the start-up last
# the better part of a second (flushing seven rows into a million cells).
# The Ctrl+C is sent as soon as visualize() holds the digest, so it lands
# at the very start of that, however fast the machine; the child says how
# long visualize() took, which shows the start-up outlasted the stop.
STOPPED_STARTING = """import os, signal, threading, time
import numpy as np
import tesrak
digest = tesrak.TensorDigest([64, 64, 16, 16], 4)
rng = np.random.default_rng(0)
for _ in range(7):
    digest.update(rng.random(digest.numel, dtype=np.float32))
signal.signal(signal.SIGINT, signal.default_int_handler)

def interrupt_once_served():
    while True:
        try:
            digest.shape
        except RuntimeError:  # lent to the server
            break
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt_once_served).start()
started = time.monotonic()
try:
    digest.visualize()
except KeyboardInterrupt:
    print("interrupted")
print(time.monotonic() - started)
"""


def test_a_server_stopped_while_it_starts_never_says_it_runs(free_port):
    child = subprocess.run([sys.executable, "-c", STOPPED_STARTING], capture_output=True,
                           text=True, timeout=60,
                           env=dict(os.environ, TESRAK_PORT=str(free_port()), RAYON_NUM_THREADS="1"))
    said, took = child.stdout.splitlines()
    assert (child.returncode, said, child.stderr) == (0, "interrupted", ""), f"after {took} s"


# Serves from a daemon thread until its parent closes its standard input.
# Standard error is closed before the module is loaded (the listener could
# then take its number), or a pipe full before the server starts: either
# way the server must answer at once, and the exit must not wait for it.
SERVES_WHATEVER_STDERR_IS = """import fcntl, os, sys, threading
if sys.argv[1] == "closed":
    os.close(2)
else:
    os.write(2, b"x" * fcntl.fcntl(2, fcntl.F_GETPIPE_SZ))
import tesrak
digest = tesrak.TensorDigest([16], compression=10)
threading.Thread(target=digest.visualize, daemon=True).start()
sys.stdin.read()
"""


def info_within(port, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            return urllib.request.urlopen(f"http://127.0.0.1:{port}/api/info", timeout=1).read()
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.01)


def ended_within(child, seconds):
    try:
        child.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        return False


@pytest.mark.parametrize("stderr", ["closed", "full"])
def test_a_server_answers_and_ends_whatever_its_standard_error_is(free_port, stderr):
    port = free_port()
    child = subprocess.Popen([sys.executable, "-c", SERVES_WHATEVER_STDERR_IS, stderr],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, env=dict(os.environ, TESRAK_PORT=str(port)))
    with child.stdin, child.stderr:
        assert info_within(port, 5) == b'{"shape":[16],"ndim":1}'
        if stderr == "full":  # drained, it takes the line that waited for room
            pipe_size = fcntl.fcntl(child.stderr.fileno(), fcntl.F_GETPIPE_SZ)
            line = f"tesrak visualizer running at http://127.0.0.1:{port}  (Ctrl+C to stop)\n"
            assert child.stderr.read(pipe_size + len(line)) == b"x" * pipe_size + line.encode()
        child.stdin.close()
        assert ended_within(child, 5)
        assert (child.returncode, child.stderr.read()) == (0, b"")


# Another writer of the full pipe takes every bit of room it gets: it waits
# in a blocking write when the server starts, and the parent reads one
# page, once. The start-up line must then stay pending without holding up
# the exit. A line that waited for room and then wrote in blocking mode
# lost that race in some runs, and its exit hung.
SHARED_FULL_STDERR = """import os, threading, time
import tesrak
os.write(2, b"x" * 65536)
threading.Thread(target=os.write, args=(2, b"y" * 8192), daemon=True).start()
digest = tesrak.TensorDigest([16], compression=10)
threading.Thread(target=digest.visualize, daemon=True).start()
time.sleep(0.3)
print("ready", flush=True)
time.sleep(0.5)
"""


def test_an_exit_does_not_wait_for_a_pipe_that_another_writer_keeps_full():
    runs, at_once = 24, 8
    hung = 0
    for _ in range(runs // at_once):
        children = [subprocess.Popen([sys.executable, "-c", SHARED_FULL_STDERR],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     env=dict(os.environ, TESRAK_PORT=str(port)))
                    for port in distinct_free_ports(at_once)]
        for child in children:
            assert child.stdout.readline() == b"ready\n"
            os.read(child.stderr.fileno(), 4096)
        for child in children:
            hung += not ended_within(child, 10)
            child.stdout.close()
            child.stderr.close()
            assert child.returncode in (0, -signal.SIGKILL)
    assert hung == 0


# One C++ allocation after another fails while visualize() starts: that of
# the record of running servers, that of the thread's start, then those of
# the server's own start-up. Each fails the call with MemoryError; the
# object serves afterwards, and the exit neither hangs nor aborts.
FAILED_ALLOCATION = """import ctypes, os, sys, threading, time
import tesrak
digest = tesrak.TensorDigest([16], compression=10)
ctypes.CDLL(None).fail_new_call(int(sys.argv[1]))
try:
    digest.visualize()
except MemoryError:
    print("MemoryError", flush=True)
threading.Thread(target=digest.visualize, daemon=True).start()
sys.stdin.read()
"""


@pytest.mark.parametrize("failing_call", [1, 2, 3])
def test_a_visualizer_that_runs_out_of_memory_as_it_starts_leaves_a_clean_exit(
        free_port, preload_library, failing_call):
    port = free_port()
    child = subprocess.Popen(
        [sys.executable, "-c", FAILED_ALLOCATION, str(failing_call)], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=dict(os.environ, TESRAK_PORT=str(port),
                 LD_PRELOAD=preload_library("failing_new.cpp")))
    with child.stdin, child.stdout, child.stderr:
        assert child.stdout.readline() == b"MemoryError\n"
        assert info_within(port, 5) == b'{"shape":[16],"ndim":1}'
        child.stdin.close()
        assert ended_within(child, 5)
        assert child.returncode == 0, child.stderr.read()


# A child made by fork() while a daemon thread serves has no server of its
# own: its exit must not try to stop and join its parent's.
FORKS_WHILE_SERVING = """import os, sys, threading, urllib.request, warnings
import tesrak
digest = tesrak.TensorDigest([16], compression=10)
threading.Thread(target=digest.visualize, daemon=True).start()
port = os.environ["TESRAK_PORT"]
for _ in range(500):
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{port}/api/info", timeout=1)
        break
    except OSError:
        pass
warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads, as asked
pid = os.fork()
if pid == 0:
    sys.exit(0)  # an interpreter's whole exit, clean-up hooks included
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


def test_a_child_forked_while_a_server_runs_exits_cleanly(free_port):
    child = subprocess.run([sys.executable, "-c", FORKS_WHILE_SERVING], capture_output=True,
                           text=True, timeout=60, env=dict(os.environ, TESRAK_PORT=str(free_port())))
    assert (child.returncode, child.stdout) == (0, "0\n"), child.stderr
