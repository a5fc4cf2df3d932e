"""The FT602 chip configuration image as a dict: the fields known decoded, the whole image kept
as ``raw`` so that a dict from ``Device.chip_config()`` writes back every byte."""
from __future__ import annotations

import struct
from typing import Any, Dict, List, Optional, Tuple

# (image length, stride per stream, stride per speed, entries per table)
_LAYOUTS = {2768: (204, 68, 5), 4064: (528, 176, 14)}
_VERSION_AT, _VERSION_SIZE = 28, 16
_FRAMES_AT, _ENTRY_SIZE, _STREAMS = 940, 12, 4
SPEEDS = ("full", "high", "super")
MAX_IMAGE = 4096


def _layout(raw: bytes) -> Optional[Tuple[int, int, int]]:
    if len(raw) < 2 or struct.unpack_from("<H", raw)[0] != len(raw):
        return None
    return _LAYOUTS.get(len(raw))


def _entry_at(layout: Tuple[int, int, int], stream: int, speed: int, i: int) -> int:
    return _FRAMES_AT + stream * layout[0] + speed * layout[1] + _ENTRY_SIZE * i


def decode(raw: bytes) -> Dict[str, Any]:
    """``length``, ``raw`` (bytes) and, for the known layouts, ``firmware_version`` (text) and
    ``streams``: four dicts mapping "full"/"high"/"super" to lists of frame entries
    ``{"width", "height", "interval"}`` (interval in 100 ns units)."""
    doc: Dict[str, Any] = {"length": len(raw), "raw": bytes(raw)}
    layout = _layout(raw)
    if layout is None:
        return doc
    doc["firmware_version"] = raw[_VERSION_AT:_VERSION_AT + _VERSION_SIZE].split(b"\0")[0].decode(
        "latin-1")
    streams: List[Dict[str, List[Dict[str, int]]]] = []
    for k in range(_STREAMS):
        stream = {}
        for s, speed in enumerate(SPEEDS):
            frames = []
            for i in range(layout[2]):
                w, h, _, interval = struct.unpack_from("<HHII", raw, _entry_at(layout, k, s, i))
                frames.append({"width": w, "height": h, "interval": interval})
            stream[speed] = frames
        streams.append(stream)
    doc["streams"] = streams
    return doc


def encode(doc: Dict[str, Any], current_length: int) -> bytes:
    """The image that `doc` (from ``decode``, possibly edited) stands for; ValueError or
    TypeError names the first problem."""
    if not isinstance(doc, dict):
        raise TypeError("the chip configuration is a dict from Device.chip_config()")
    unknown = set(doc) - {"length", "raw", "firmware_version", "streams"}
    if unknown:
        raise ValueError(f"unknown chip configuration field(s): {', '.join(sorted(unknown))}")
    raw = doc.get("raw")
    if not isinstance(raw, (bytes, bytearray, memoryview)):
        raise TypeError('"raw" (the whole image as bytes) is missing')
    image = bytearray(raw)
    if len(image) != current_length:
        raise ValueError(f'"raw" holds {len(image)} bytes, the board\'s configuration has '
                         f'{current_length}')
    if struct.unpack_from("<H", image)[0] != len(image):
        raise ValueError("the image's length field does not match its size")
    if doc.get("length", len(image)) != len(image):
        raise ValueError(f'"length" must stay {len(image)}')
    layout = _layout(bytes(image))
    if layout is None:
        if "firmware_version" in doc or "streams" in doc:
            raise ValueError(f"a {len(image)}-byte configuration has no decoded fields")
        return bytes(image)
    if "firmware_version" in doc:
        text = doc["firmware_version"]
        if not isinstance(text, str) or len(text.encode("latin-1")) > _VERSION_SIZE:
            raise ValueError(f'"firmware_version" must be a text of at most {_VERSION_SIZE} '
                             "characters")
        image[_VERSION_AT:_VERSION_AT + _VERSION_SIZE] = text.encode("latin-1").ljust(
            _VERSION_SIZE, b"\0")
    if "streams" in doc:
        streams = doc["streams"]
        if not isinstance(streams, list) or len(streams) != _STREAMS:
            raise ValueError(f'"streams" must list {_STREAMS} streams')
        for k, stream in enumerate(streams):
            for s, speed in enumerate(SPEEDS):
                frames = stream.get(speed) if isinstance(stream, dict) else None
                if not isinstance(frames, list) or len(frames) != layout[2]:
                    raise ValueError(f"stream {k} {speed}: must list {layout[2]} frame entries")
                for i, e in enumerate(frames):
                    at = _entry_at(layout, k, s, i)
                    try:
                        struct.pack_into("<HH", image, at, e["width"], e["height"])
                        struct.pack_into("<I", image, at + 8, e["interval"])
                    except (KeyError, TypeError, struct.error) as err:
                        raise ValueError(f"stream {k} {speed} entry {i}: width and height must "
                                         "be 0 to 65535, interval 0 to 2**32-1") from err
    return bytes(image)
