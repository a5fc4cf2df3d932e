"""Device control on one virtual board (VB0001): identity, GPIO, chip configuration, memory."""
import os

import pytest

import ostrane


@pytest.fixture(scope="module")
def device():
    with ostrane.Device.open() as d:
        yield d


def test_identity_and_versions(device):
    assert device.vid_pid() == (0x1209, 0x0001)
    assert device.firmware_version() == "1.2.7"
    # The package and the library it loads come from one source tree.
    assert ostrane.driver_version() == ostrane.__version__


# (call, mask, value, levels read afterwards): pins 0 and 2 outputs, pin 1 an input that reads
# its pull (low by default, high with pull-up code 2).
GPIO_STEPS = [("gpio_enable", 0b111, 0b101, 0b000), ("gpio_write", 0b111, 0b101, 0b101),
              ("gpio_pull", 0b010, 0b1000, 0b111), ("gpio_write", 0b001, 0b000, 0b110)]


def test_gpio_steps(device):
    for call, mask, value, levels in GPIO_STEPS:
        getattr(device, call)(mask, value)
        assert device.gpio_read() == levels, (call, mask, value)


def test_chip_config_edit_is_written_and_read_back(device):
    config = device.chip_config()
    assert (config["length"], config["firmware_version"], len(config["raw"])) == (4064, "1.2.7-vb", 4064)
    assert config["streams"][0]["super"][0] == {"width": 1920, "height": 1080, "interval": 333333}
    config["streams"][2]["high"][3] = {"width": 800, "height": 600, "interval": 400000}
    config["firmware_version"] = "9.9-py"
    device.set_chip_config(config)
    again = device.chip_config()
    assert again["streams"][2]["high"][3] == {"width": 800, "height": 600, "interval": 400000}
    assert again["firmware_version"] == "9.9-py"
    # Only the version text (from 28) and that entry (stream 2, high speed, entry 3) changed.
    entry = 940 + 2 * 528 + 1 * 176 + 3 * 12
    changed = [i for i, (a, b) in enumerate(zip(config["raw"], again["raw"])) if a != b]
    assert changed and all(28 <= i < 44 or entry <= i < entry + 12 for i in changed)


def test_memory_round_trip_across_many_requests(device):
    data = os.urandom(70000)
    device.memory_write(0x20000, data)
    assert device.memory_read(0x20000, len(data)) == data
