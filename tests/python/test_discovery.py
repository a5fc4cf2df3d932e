"""Discovery under two virtual boards (VB0001, VB0002): the list's records, and each way of
choosing a board to open reaching that board."""
import pytest

import ostrane

SDI = (0x1209, 0x0001, "Q.V. Ostrane SDI Adapter")


def test_list_describes_each_board():
    boards = ostrane.list_boards()
    assert [(b.index, b.serial, b.vid, b.pid, b.description, b.speed, b.open) for b in boards] == [
        (0, "VB0001", *SDI, "super", False), (1, "VB0002", *SDI, "super", False)]


@pytest.mark.parametrize("selector, serial", [({}, "VB0001"), ({"index": 1}, "VB0002"),
                                               ({"serial": "VB0002"}, "VB0002"), ({"description": SDI[2]}, "VB0001")])
def test_open_reaches_the_chosen_board(selector, serial):
    with ostrane.Device.open(**selector) as device:
        assert device.info().serial == serial
        assert [b.open for b in ostrane.list_boards()] == [b.serial == serial for b in ostrane.list_boards()]
    assert not any(b.open for b in ostrane.list_boards())
