"""The board channel against the virtual board's echo camera."""
import time

import pytest

import ostrane
from conftest import BOUND, in_thread, wait_inside


@pytest.mark.parametrize("message", [b"p", b"ping", bytes(range(127))])
def test_message_comes_back(message):
    with ostrane.Channel(0) as ch:
        ch.send(message)
        assert ch.receive(len(message), timeout=BOUND) == message
        # Nothing more was sent: the next wait ends empty.
        assert ch.receive(timeout=0) == b""


def test_threads_sharing_a_channel_get_their_own_replies():
    with ostrane.Channel(0) as ch:
        asks = {tag: in_thread(lambda t: [ch.request(b"%s%03d" % (t, i), 4, BOUND) for i in range(50)], tag)
                for tag in (b"A", b"B")}
        for tag, (thread, outcome) in asks.items():
            thread.join(4 * BOUND)
            assert outcome.get("result") == [b"%s%03d" % (tag, i) for i in range(50)], outcome


def test_close_from_another_thread_ends_a_receive():
    ch = ostrane.Channel(0)
    started = time.monotonic()
    thread, outcome = in_thread(ch.receive, 10, BOUND)
    wait_inside(thread, "receive")
    ch.close()
    thread.join(BOUND)
    assert time.monotonic() - started < BOUND
    assert outcome["error"].name == "CommsBadHandle"
