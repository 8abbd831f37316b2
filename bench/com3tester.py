#!/usr/bin/env python3
# The tester, scripted, on a COM3 made by a redirector: opened raw at 9600 8N1, then for SECONDS
# either "pingpong" (one byte of the test cycle at a time, each waiting for its echo) or
# "tick MS" (a byte every MS milliseconds, the replies read for what is left of the period, as
# the tester's tick does); or "burst COUNT MS", COUNT bytes sent as tick sends them, however
# long that takes, SECONDS then being how long the line must stay quiet at the end. Prints the
# bytes sent, the replies read and, for pingpong, the median round trip. With LOG, also one line
# per byte written ("TIME S XX") and per read ("TIME R XX XX...", the bytes that read returned),
# TIME in seconds on the monotonic clock.
#   usage: com3tester.py COM3 SECONDS pingpong [LOG] | COM3 SECONDS tick MS [LOG]
#          | COM3 SECONDS burst COUNT MS [LOG]
import os, select, sys, termios, time

fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
a = termios.tcgetattr(fd)
a[0] = a[1] = a[3] = 0
a[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
a[4] = a[5] = termios.B9600
termios.tcsetattr(fd, termios.TCSANOW, a)
cycle = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
mode = sys.argv[3]
logged = sys.argv[{"pingpong": 4, "tick": 5, "burst": 6}[mode]:]
log = open(logged[0], "w") if logged else None


def write(b):
    os.write(fd, b)
    if log:
        log.write("%.6f S %s\n" % (time.monotonic(), b.hex()))


def read():
    b = os.read(fd, 100)
    if log:
        log.write("%.6f R %s\n" % (time.monotonic(), b.hex(" ")))
    return len(b)


end = time.monotonic() + float(sys.argv[2])
count, quiet = None, 0.3
if mode == "burst":   # a fixed count: what the redirector measures does not depend on time
    count, quiet, end = int(sys.argv[4]), float(sys.argv[2]), float("inf")
sent = got = 0
rtts = []
if mode == "pingpong":
    while time.monotonic() < end:
        t = time.monotonic()
        write(cycle[sent % 36:sent % 36 + 1])
        sent += 1
        if select.select([fd], [], [], 1.0)[0]:
            got += read()
            rtts.append(time.monotonic() - t)
else:
    period = float(sys.argv[5 if mode == "burst" else 4]) / 1000
    t = time.monotonic()
    while t < end and sent != count:
        write(cycle[sent % 36:sent % 36 + 1])
        sent += 1
        t += period
        while (d := t - time.monotonic()) > 0:
            if select.select([fd], [], [], d)[0]:
                got += read()
while select.select([fd], [], [], quiet)[0]:   # the last echoes still on their way
    got += read()
rtts.sort()
median = "%.3f ms" % (1000 * rtts[len(rtts) // 2]) if rtts else "-"
print("sent %d, echoes %d, round trip median %s" % (sent, got, median))
