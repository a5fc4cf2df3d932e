#!/usr/bin/env python3
"""Checks packaging/60-ostrane.rules: every line parses as udev rule syntax (keys, operators,
quoting, GOTO targets), and evaluated like udev does for a set of devices, the boards and the
chip get mode 0660, group plugdev and the uaccess tag while nothing else is touched. When the
installed udevadm has "verify", it checks the file too."""
import fnmatch
import re
import shutil
import subprocess
import sys

MATCH_KEYS = {"ACTION", "SUBSYSTEM", "SUBSYSTEMS", "KERNEL", "DRIVER", "DEVPATH", "ENV", "ATTR", "ATTRS", "TAG"}
ASSIGN_KEYS = {"MODE", "GROUP", "OWNER", "TAG", "ENV", "GOTO", "LABEL", "RUN", "SYMLINK"}
PAIR = re.compile(r'\s*([A-Z]+)(?:\{([^}]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(?:,|$)')


def parse(path):
    rules = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            pairs, pos = [], 0
            while pos < len(line):
                m = PAIR.match(line, pos)
                if not m:
                    sys.exit(f"{path}:{number}: cannot parse at: {line[pos:]}")
                key, attr, op, value = m.group(1, 2, 3, 4)
                matching = op in ("==", "!=")
                if matching and key not in MATCH_KEYS or not matching and key not in ASSIGN_KEYS:
                    sys.exit(f"{path}:{number}: {key} does not take {op}")
                if key in ("ENV", "ATTR", "ATTRS") and not attr:
                    sys.exit(f"{path}:{number}: {key} needs {{name}}")
                if key == "MODE" and not re.fullmatch(r"0[0-7]{3}", value):
                    sys.exit(f"{path}:{number}: bad mode {value}")
                pairs.append((key, attr, op, value))
                pos = m.end()
            rules.append((number, pairs))
    labels = {v for _, pairs in rules for k, _, _, v in pairs if k == "LABEL"}
    for number, pairs in rules:
        for k, _, _, v in pairs:
            if k == "GOTO" and v not in labels:
                sys.exit(f"{path}:{number}: GOTO to missing LABEL {v}")
    return rules


def matches(pattern, value):
    return any(fnmatch.fnmatchcase(value, alt) for alt in pattern.split("|"))


def evaluate(rules, device):
    """What udev would set for `device`: (mode, group, tags)."""
    result = {"MODE": None, "GROUP": None, "TAG": set()}
    skip_to = None
    for _, pairs in rules:
        if skip_to:
            if any(k == "LABEL" and v == skip_to for k, _, _, v in pairs):
                skip_to = None
            continue
        ok = True
        for key, attr, op, value in pairs:
            if op not in ("==", "!="):
                continue
            actual = device.get(f"{key}{{{attr}}}" if attr else key, "")
            if matches(value, actual) != (op == "=="):
                ok = False
                break
        if not ok:
            continue
        for key, attr, op, value in pairs:
            if key == "GOTO":
                skip_to = value
            elif key == "TAG" and op == "+=":
                result["TAG"].add(value)
            elif key in ("MODE", "GROUP") and op in ("=", ":="):
                result[key] = value
    return result["MODE"], result["GROUP"], result["TAG"]


def main():
    rules = parse(sys.argv[1])
    granted = ("0660", "plugdev", {"uaccess"})
    untouched = (None, None, set())
    cases = [
        # action, subsystem, devtype, vid, pid, expected
        ("add", "usb", "usb_device", "1209", "0001", granted),
        ("add", "usb", "usb_device", "1209", "0002", granted),
        ("change", "usb", "usb_device", "1209", "0003", granted),
        ("add", "usb", "usb_device", "0403", "601e", granted),
        ("add", "usb", "usb_device", "0403", "601f", granted),
        ("add", "usb", "usb_device", "1209", "0004", untouched),   # someone else's pid.codes ID
        ("add", "usb", "usb_device", "1209", "00010", untouched),
        ("add", "usb", "usb_device", "0403", "6001", untouched),   # other chips of that vendor
        ("add", "usb", "usb_device", "1d6b", "0003", untouched),   # hubs
        ("add", "usb", "usb_interface", "1209", "0001", untouched),
        ("add", "tty", "", "1209", "0001", untouched),
        ("remove", "usb", "usb_device", "1209", "0001", untouched),
    ]
    failures = 0
    for action, subsystem, devtype, vid, pid, expected in cases:
        device = {"ACTION": action, "SUBSYSTEM": subsystem, "ENV{DEVTYPE}": devtype,
                  "ATTR{idVendor}": vid, "ATTR{idProduct}": pid}
        got = evaluate(rules, device)
        if got != expected:
            failures += 1
            print(f"FAIL: {action} {subsystem}/{devtype} {vid}:{pid}: got {got}, want {expected}")
    udevadm = shutil.which("udevadm")
    if udevadm and subprocess.run([udevadm, "verify", "--help"], capture_output=True).returncode == 0:
        r = subprocess.run([udevadm, "verify", sys.argv[1]], capture_output=True, text=True)
        print(r.stdout + r.stderr, end="")
        failures += r.returncode != 0
    else:
        print("udevadm verify not available here: checked by parsing only")
    if failures:
        sys.exit(1)
    print(f"udev_rules_test: ok ({len(cases)} devices)")


main()
