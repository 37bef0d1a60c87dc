"""The demo behind the README's first command, and the README's whole
programs, run as a user would."""

import os
import re
import textwrap
import signal
import socket
import subprocess
import sys
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]
DEMO = CHECKOUT / "examples" / "demo.py"


def start_demo(port, **options):
    return subprocess.Popen(
        [sys.executable, str(DEMO)], text=True, env=dict(os.environ, TESRAK_PORT=str(port)),
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **options)


def test_output_to_a_pipe_keeps_the_terminal_order(free_port, child_lines):
    port = free_port()
    demo = start_demo(port, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        fed, banner = child_lines(demo, demo.stdout, 2)
        assert fed.startswith("fed 400 tensors of shape (2, 3, 32, 32)")
        assert banner == f"tesrak visualizer running at http://127.0.0.1:{port}  (Ctrl+C to stop)\n"
        demo.send_signal(signal.SIGINT)
        assert child_lines(demo, demo.stdout, 2) == ["\n", "stopped\n"]
        assert demo.wait(timeout=10) == 0 and demo.stdout.read() == ""
    finally:
        demo.kill()  # nothing once it has ended
        demo.wait()
        demo.stdout.close()


def test_a_taken_port_is_named_with_the_way_to_pick_another(refusal_output):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        demo = start_demo(port, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # It feeds its tensors in well under a second.
        out, err = refusal_output(demo, 20, f"the taken port {port}")
    assert demo.returncode == 1 and out.startswith("fed 400 tensors")
    assert err == (f"port {port} is in use; pick another with TESRAK_PORT, for example: "
                   f"TESRAK_PORT={port + 1} ./scripts/demo.sh\n")


def test_the_readmes_whole_programs_run_as_written(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", (CHECKOUT / "README.md").read_text(), re.S)
    programs = [textwrap.dedent(b) for b in blocks if '__name__ == "__main__"' in b]
    assert programs, "the README has no whole program"
    for number, program in enumerate(programs):
        script = tmp_path / f"program_{number}.py"
        script.write_text(program)
        run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                             text=True, timeout=60)
        assert (run.returncode, run.stderr) == (0, ""), program
