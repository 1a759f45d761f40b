"""Runs that never end by themselves stop on Ctrl-C (KeyboardInterrupt) and on cancel() from
another thread, and the rules stay usable."""
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pyexpression as px
from pyexpression import _core

SPIN = "integer i\ni = 0\nwhile i < n begin i = i + 1 end\ni"
CHILD = textwrap.dedent("""
    import sys, time
    import pyexpression as px
    rules = px.Engine().compile({spin!r}, {{"n": "integer"}}, result="integer")
    many = [1000] * 10**7
    print("ready", flush=True)
    try:
        {call}
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", rules.run(n=5).value, flush=True)
""")


@pytest.mark.parametrize("call", [
    "rules.run(n=2**62)",                                     # one endless run
    "rules.run_batch({'n': [2**62]}, on_error='null')",      # one endless row, on_error notwithstanding
    "rules.run_batch({'n': many})",                           # many short rows
])
def test_ctrl_c_stops_any_run(call):
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(spin=SPIN, call=call)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)  # well into the run
        child.send_signal(signal.SIGINT)
        rest = child.communicate(timeout=30)[0]  # a run that ignored Ctrl-C would time out here
    finally:
        child.kill()
        child.wait()
    # The rules answered a new run after the interrupt.
    assert rest.strip() == "interrupted 5"


def test_cancel_from_another_thread_stops_a_single_run():
    rules = px.Engine().compile(SPIN, {"n": "integer"}, result="integer")
    timer = threading.Timer(0.2, rules.cancel)
    timer.start()
    with pytest.raises(px.RunError) as caught:
        rules.run(n=10**9)  # seconds uncancelled: long enough, yet a run that cannot be cancelled ends
    timer.join()
    assert caught.value.code == _core.E_INTERRUPT and rules.run(n=3).value == 3
