"""What the screen reader tests share: byte names, the raw box characters, checks that count
their failures, waiting, and the tester's frame on the AT-SPI bus."""
import re
import sys
import time

import pyatspi

CONTROLS = ["NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT", "FF",
            "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",
            "SUB", "ESC", "FS", "GS", "RS", "US"]
# what a byte drawn as a hex box is called: its control name, DEL, or its value
BOX_NAMES = set(CONTROLS[1:]) | {"DEL"} | {"0x%02X" % b for b in
                                           list(range(0x80, 0xA1)) + list(range(0xE0, 0x100))}
NAME_TOKEN = re.compile(r"(?<![0-9A-Za-z])(" + "|".join(sorted(BOX_NAMES, key=len, reverse=True))
                        + r")(?![0-9A-Za-z])")
# what the log keeps a box byte as: control pictures and U+F700 + byte
RAW = re.compile("[\u2401-\u241f\u2421\uf780-\uf7a0\uf7e0-\uf7ff]")

_failures = 0


def check(ok, what, detail=""):
    global _failures
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else ": " + repr(detail)[:300]))
    if not ok:
        _failures += 1
    return ok


def failures():
    return _failures


def finish():
    print("%d checks failed" % _failures)
    sys.exit(1 if _failures else 0)


def wait_for(find, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = find()
        if found:
            return found
        time.sleep(0.1)
    check(False, what, "not found")
    finish()


def tester_frame():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        for child in app:
            if child is not None and "RS232C" in (child.name or ""):
                return child
    return None
