#!/usr/bin/env python3
"""A far device that echoes, behind a device server's UART, modelled bit by bit.

    uartdevice.py PTY [--port RATE,FORMAT] [--device RATE,FORMAT] [--answer-after MS]
                      [--device-then SECONDS,RATE,FORMAT] [--clock N] [--seed N] [--log FILE]

PTY is one end of a pseudo-terminal pair (socat) whose other end the device server (ser2net)
holds. A pty carries bytes, not bits, so this program plays both UARTs of the serial line:

  1. the device server's UART sends each byte that ser2net writes as a frame at the port's
     settings, starting at the first tick of its clock after the byte arrives or when the frame
     before it ends, whichever is later: bytes that come together form one continuous waveform;
  2. the far device's UART decodes that waveform at the device's settings, and the device echoes
     every byte its UART gives it (with a framing or parity error too; a break gives 0x00) as a
     frame at the device's settings;
  3. the server's UART decodes the echo at the port's settings, and each byte it takes in is
     written back to PTY when its stop bit has been sampled.

A frame is a start bit (low), 5 to 8 data bits LSB first, an optional parity bit (N none,
E even, O odd, M mark, S space), and 1, 1.5 or 2 stop bits (high); the idle line is high. A
receiver waits for a falling edge, checks the start bit at its middle (high: a glitch, wait for
the next edge), samples each data bit, the parity bit and the first stop bit at the middle of
its own bit time, then waits for the next falling edge. A stop bit sampled low is a framing
error; all samples low a break. Only the first stop bit is checked, as UARTs do.

Options:
  --port RATE,FORMAT    the device server's UART, e.g. 9600,8N1 (the default, the tester's
                        settings), or 4800,8N1 for a server's port set wrong; ser2net's own
                        setting cannot change bytes on a pty, so this one is what counts
  --device RATE,FORMAT  the far device's UART (default 9600,8N1): any rate, 31250 or
                        9600.5 as well, and formats 5N1 to 8S2, 8N1.5
  --answer-after MS     a slow far device: it starts each echo MS milliseconds after its UART
                        took the byte (default 0, at once); echoes still go out one after another
  --device-then SECONDS,RATE,FORMAT
                        a far device set otherwise mid-run: from SECONDS after the first byte
                        came, its UART at RATE,FORMAT both ways
  --clock N             a receiver sees the falling edge at the next tick of its own clock,
                        N ticks a bit (default 16, as a 16550; 0: at the edge itself), and its
                        UART's transmitter starts each frame on a tick of that clock, which
                        drives both, so that an echo comes back at the same phase of it every
                        time but for the other UART's tick. The two UARTs' clocks run free of
                        each other, so a sample that would fall exactly on an edge of the other
                        UART's frame falls just after it, as in hardware
  --seed N              the phase of each receiver's clock (default 1)
  --log FILE            made once the device listens, then one line per byte: "TIME in XX #N"
                        for each byte from the server, "TIME device XX #N ERRORS" for each
                        byte the far device took in, and "TIME out XX #N ERRORS" for each byte
                        written back; #N is the byte from the server whose frame the byte
                        started in, so that what each byte sent turns into can be read off

On SIGTERM or SIGINT it prints what each UART took in and their errors on standard error and
exits 0; it also ends (status 0) when the other side of PTY goes away.
"""
import argparse
import bisect
import math
import os
import random
import re
import select
import signal
import sys
import time
import tty


class Settings:
    def __init__(self, text):
        m = re.fullmatch(r"(\d+(?:\.\d+)?),([5-8])([NEOMS])(1|1\.5|2)", text)
        if not m or float(m.group(1)) <= 0:
            raise ValueError("settings are RATE,FORMAT such as 9600,8N1 or 31250,7E2: %r" % text)
        self.rate = float(m.group(1))
        self.bits = int(m.group(2))
        self.parity = m.group(3)
        self.stop = float(m.group(4))
        self.bit = 1 / self.rate

    def parity_bit(self, value):
        ones = bin(value & ((1 << self.bits) - 1)).count("1")
        return {"E": ones % 2, "O": 1 - ones % 2, "M": 1, "S": 0}[self.parity]

    def __str__(self):
        return "%g %d%s%g" % (self.rate, self.bits, self.parity, self.stop)


class Line:
    """One direction of the wire: the times its level changes, and which byte each frame carries."""

    def __init__(self):
        self.times, self.levels = [], []   # alternating levels, starting from idle high
        self.frames = []                   # (start, end, tag) of each frame sent

    def drive(self, at, level):
        if level != (self.levels[-1] if self.levels else 1):
            self.times.append(at)
            self.levels.append(level)

    def level(self, at):
        i = bisect.bisect_right(self.times, at) - 1
        return self.levels[i] if i >= 0 else 1

    def next_fall(self, after):
        for i in range(bisect.bisect_right(self.times, after), len(self.times)):
            if self.levels[i] == 0:
                return self.times[i]
        return None

    def tag(self, at):
        for start, end, tag in self.frames:
            if start <= at < end:
                return tag
        return None

    def forget(self, before):
        i = bisect.bisect_right(self.times, before) - 1
        if i > 0:
            del self.times[:i], self.levels[:i]
        self.frames = [f for f in self.frames if f[1] > before]


class Transmitter:
    """Sends frames on the ticks of its UART's clock, the one its receiver samples by (`clock`:
    that receiver), as a UART's one baud generator drives both."""

    def __init__(self, settings, line, clock=None):
        self.s, self.line, self.free_at = settings, line, float("-inf")
        self.clock = clock

    def send(self, value, at, tag):
        s = self.s
        start = max(at, self.free_at)
        if self.clock:
            start = self.clock.next_tick(start)
        bits = [0] + [(value >> i) & 1 for i in range(s.bits)]
        if s.parity != "N":
            bits.append(s.parity_bit(value))
        for k, level in enumerate(bits + [1]):
            self.line.drive(start + k * s.bit, level)
        self.free_at = start + (len(bits) + s.stop) * s.bit
        self.line.frames.append((start, self.free_at, tag))


class Receiver:
    def __init__(self, settings, line, clock, phase):
        self.s, self.line = settings, line
        self.clock, self.phase_share = clock, phase
        self.tick = settings.bit / clock if clock else 0
        self.phase = phase * self.tick
        self.resume = float("-inf")   # waits for a falling edge after this time
        self.wake = None              # a sample still to come: when to look again
        self.errors = {"framing": 0, "parity": 0, "break": 0}
        self.taken = 0

    def seen(self, edge):
        if not self.tick:
            return edge
        ticks = -((self.phase - edge) // self.tick)   # the first tick at or after the edge
        return self.phase + ticks * self.tick

    def next_tick(self, at):
        """The tick of this clock at or after `at`; a time that is a tick already (a sample this
        UART took) stays where it is, whatever the rounding of its sum."""
        if not self.tick:
            return at
        ticks = math.ceil((at - self.phase) / self.tick - 1e-6)
        return self.phase + ticks * self.tick

    def advance(self, known):
        """The bytes whose frames are complete on the line as it is known up to `known`: each as
        (value, time its stop bit was sampled, errors, tag)."""
        s, line, taken = self.s, self.line, []
        self.wake = None
        while True:
            edge = line.next_fall(self.resume)
            if edge is None or edge > known:
                return taken
            start = self.seen(edge)
            count = 1 + s.bits + (s.parity != "N") + 1
            samples = [start + (k + 0.5) * s.bit for k in range(count)]
            if samples[0] > known:
                self.wake = samples[0]
                return taken
            if line.level(samples[0]):
                self.resume = samples[0]
                continue
            if samples[-1] > known:
                self.wake = samples[-1]
                return taken
            levels = [line.level(t) for t in samples]
            value = sum(levels[1 + i] << i for i in range(s.bits))
            errors = []
            if not any(levels):
                errors = ["break"]
            else:
                if s.parity != "N" and levels[1 + s.bits] != s.parity_bit(value):
                    errors.append("parity")
                if not levels[-1]:
                    errors.append("framing")
            for e in errors:
                self.errors[e] += 1
            self.taken += 1
            taken.append((value, samples[-1], errors, line.tag(edge)))
            self.resume = samples[-1]
            line.forget(self.resume)


class Chain:
    """The server's UART sending to the far device, the device echoing what its UART takes in, and
    the server's UART taking the echo in."""

    def __init__(self, port, device, clock=16, seed=1, log=None, answer_after=0.0):
        phases = random.Random(seed)
        self.out_line, self.back_line = Line(), Line()
        self.device_rx = Receiver(device, self.out_line, clock, phases.random())
        self.port_rx = Receiver(port, self.back_line, clock, phases.random())
        self.port_tx = Transmitter(port, self.out_line, self.port_rx)
        self.device_tx = Transmitter(device, self.back_line, self.device_rx)
        self.answer_after = answer_after
        self.log = log

    def set_device(self, settings):
        """The far device's UART at other settings from here on: frames its receiver has not
        started are read at them, echoes not yet sent go out at them."""
        old_rx, old_tx = self.device_rx, self.device_tx
        self.device_rx = Receiver(settings, self.out_line, old_rx.clock, old_rx.phase_share)
        self.device_rx.resume, self.device_rx.errors = old_rx.resume, old_rx.errors
        self.device_rx.taken = old_rx.taken
        self.device_tx = Transmitter(settings, self.back_line, self.device_rx)
        self.device_tx.free_at = old_tx.free_at

    def arrive(self, value, at, tag):
        self.port_tx.send(value, at, tag)
        self.note(at, "in", value, tag, [])

    def advance(self, now):
        """The bytes the server's UART has taken in by `now` (or later, where the line is already
        known further), as (value, time, errors, tag)."""
        known = max(now, self.port_tx.free_at)
        for value, at, errors, tag in self.device_rx.advance(known):
            self.note(at, "device", value, tag, errors)
            self.device_tx.send(value, at + self.answer_after, tag)
        taken = self.port_rx.advance(max(known, self.device_tx.free_at))
        for value, at, errors, tag in taken:
            self.note(at, "out", value, tag, errors)
        return taken

    def wake(self):
        times = [t for t in (self.device_rx.wake, self.port_rx.wake) if t is not None]
        return min(times) if times else None

    def note(self, at, what, value, tag, errors):
        if self.log:
            self.log.write("%.6f %s %02X #%s %s\n" % (at, what, value, tag, " ".join(errors)))


def serve(fd, chain, then=None):
    """Carries bytes between PTY and the model; `then` is (seconds, settings) of a change of
    the far device's UART after the first byte."""
    due = []   # (time, byte) written back when their time comes
    count = 0
    change_at = None
    while True:
        now = time.monotonic()
        if change_at is not None and now >= change_at:
            chain.set_device(then[1])
            change_at = then = None
        wakes = [t for t in (due[0][0] if due else None, chain.wake(), change_at) if t is not None]
        timeout = max(0.0, min(wakes) - now) if wakes else None
        readable = select.select([fd], [], [], timeout)[0]
        now = time.monotonic()
        if readable:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if not data:
                return
            if then and change_at is None:
                change_at = now + then[0]
            for b in data:
                chain.arrive(b, now, count)
                count += 1
        due += [(at, value) for value, at, _, _ in chain.advance(now)]
        ready = bytes(value for at, value in due if at <= now)
        if ready:
            os.write(fd, ready)
            due = [d for d in due if d[0] > now]


def summary(chain, port, device):
    def took(r):
        e = r.errors
        return "%d bytes (framing %d, parity %d, break %d)" % (r.taken, e["framing"], e["parity"], e["break"])
    if chain.device_rx.s is not device:
        device = "%s, then %s" % (device, chain.device_rx.s)
    return ("uartdevice: port %s, device %s: the device's UART took %s, the port's UART took %s"
            % (port, device, took(chain.device_rx), took(chain.port_rx)))


def later_settings(text):
    seconds, _, settings = text.partition(",")
    try:
        if float(seconds) < 0:
            raise ValueError
        return float(seconds), Settings(settings)
    except ValueError:
        raise argparse.ArgumentTypeError("is SECONDS,RATE,FORMAT such as 5,19200,8N1: %r" % text)


def main():
    p = argparse.ArgumentParser(description="A far device behind a device server's UART, bit by bit.")
    p.add_argument("pty")
    p.add_argument("--port", type=Settings, default=Settings("9600,8N1"))
    p.add_argument("--device", type=Settings, default=Settings("9600,8N1"))
    p.add_argument("--answer-after", type=float, default=0.0)
    p.add_argument("--device-then", type=later_settings)
    p.add_argument("--clock", type=int, default=16)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--log")
    a = p.parse_args()
    if a.answer_after < 0:
        p.error("--answer-after is a number of milliseconds, 0 or more")
    fd = os.open(a.pty, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)   # flushes what came before: the log, made after it, says the device listens
    log = open(a.log, "w", buffering=1) if a.log else None
    chain = Chain(a.port, a.device, a.clock, a.seed, log, a.answer_after / 1000)

    def stop(*_):
        print(summary(chain, a.port, a.device), file=sys.stderr, flush=True)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    serve(fd, chain, a.device_then)
    stop()


if __name__ == "__main__":
    main()
