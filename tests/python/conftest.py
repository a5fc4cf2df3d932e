"""Each test module runs in a process of its own under ostrane-virtual-board (CMakeLists.txt)."""
import sys
import threading
import time

import pytest

# Generous: an emulated CPU (scripts/kernel-test) is many times slower than this machine.
BOUND = 60.0


def wait_for(condition, what, bound=BOUND, errors=None):
    """Polls condition() until true; an OstraneError named `errors` counts as false."""
    end = time.monotonic() + bound
    while True:
        try:
            if condition():
                return
        except Exception as e:
            if getattr(e, "name", None) != errors:
                raise
        if time.monotonic() > end:
            pytest.fail(f"waited {bound} s for {what}")
        time.sleep(0.01)


def in_thread(fn, *args):
    """Runs fn(*args) on a thread; the dict returned gets "result" or "error"."""
    outcome = {}

    def run():
        try:
            outcome["result"] = fn(*args)
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def wait_inside(thread, function):
    """Waits until `thread` runs `function`: its blocking C call follows at once."""
    def frames():
        frame = sys._current_frames().get(thread.ident)
        while frame is not None:
            yield frame.f_code.co_name
            frame = frame.f_back
    wait_for(lambda: function in frames(), f"a thread inside {function}")
