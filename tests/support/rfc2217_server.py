#!/usr/bin/env python3
"""A scripted RFC 2217 device server on loopback, for tests: it plays a well-behaved server, the
known quirks of real ones, and the misbehaviours a client must survive.

    rfc2217_server.py SCENARIO [DELAY_MS]

It listens on a free 127.0.0.1 port, prints the port number on a line of its own, serves one
connection, and exits when the client closes it. Data from the client is echoed back (doubled
0xFF kept as such), DELAY_MS late (0 by default, else 20 ms more at most), except where the
scenario says otherwise. On standard error it logs one line
per request it received ("request SET-BAUDRATE 00002580"), so that a test can see what was asked.

Scenarios:
  standard       answers every request with the value asked for; signature "scripted 1.0"
  linestate      as standard, and a framing and a parity error every 100 ms, mask or not
  modem          as standard, and six CTS changes after the first data
  quirks         SET-BAUDRATE answered with four trailing NULs, SET-DATASIZE with one,
                 SET-CONTROL always answered with 1 (a fixed value)
  index          SET-BAUDRATE answered in one byte, as Cisco's servers do and ser2net once a
                 client used that form: the rate's index (8 for 9600), 0 for a rate it lacks
  other          every request answered with another value
  silent         accepts COM Port Control, answers no request
  unparsable     SET-BAUDRATE answered with 3 bytes, then an unknown command 150
  unknownbits    line state with bits never asked for (data ready, THRE, TSRE)
  late           sends data for 2.5 s before it answers the offer of COM Port Control
  storm          toggles BINARY without end and never reads
  stormlater     as standard until the first data, then as storm
  endless        opens a subnegotiation that never ends (1 MiB of it), then echoes
  flood          sends 8 MiB of data at once after the first data, then echoes
  suspend        FLOWCONTROL-SUSPEND on the first data, RESUME 300 ms later
  split          sends everything one byte a segment: IAC split from what follows it
  askssignature  asks the client's signature three times
"""
import select
import socket
import sys
import time

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
BINARY, SGA, COM_PORT = 0, 3, 44
# the one-byte form of SET-BAUDRATE: rate -> index
CISCO_BAUD = {300: 3, 600: 4, 1200: 5, 2400: 6, 4800: 7, 9600: 8, 19200: 10, 38400: 12,
              57600: 13, 115200: 14, 230400: 15}
NAMES = ["SIGNATURE", "SET-BAUDRATE", "SET-DATASIZE", "SET-PARITY", "SET-STOPSIZE",
         "SET-CONTROL", "NOTIFY-LINESTATE", "NOTIFY-MODEMSTATE", "FLOWCONTROL-SUSPEND",
         "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK", "PURGE-DATA"]


def escape(value):
    return value.replace(b"\xff", b"\xff\xff")


def sub(command, value=b""):
    return bytes([IAC, SB, COM_PORT, command]) + escape(value) + bytes([IAC, SE])


class Server:
    def __init__(self, conn, scenario, delay):
        self.conn = conn
        self.delay = delay
        self.echoes = []   # (when, bytes) of echoes held back by the delay
        self.scenario = scenario
        self.state = "data"
        self.sub = bytearray()
        self.seen_data = False
        self.resume_at = None
        self.next_line_error = None
        self.started = time.monotonic()
        self.signature_asks = 0

    def send(self, data):
        if self.scenario == "split":
            for i in range(len(data)):
                self.conn.sendall(data[i:i + 1])
                time.sleep(0.001)
        else:
            self.conn.sendall(data)

    def answer(self, command, value):
        s = self.scenario
        if s == "silent":
            return
        if command == 0:
            if not value:
                self.send(sub(100, b"scripted 1.0"))
            return
        if s == "other":
            # another value, each one a server could really answer
            others = {1: value[:3] + bytes([value[3] ^ 1]) if len(value) == 4 else value,
                      2: b"\x07", 3: b"\x03", 4: b"\x02", 5: bytes([value[0] ^ 1]),
                      10: bytes([value[0] ^ 1]), 11: b"\x0f", 12: b"\x01"}
            value = others.get(command, value)
        elif s == "quirks" and command == 1:
            value = value + b"\0\0\0\0"
        elif s == "quirks" and command == 2:
            value = value + b"\0"
        elif s == "quirks" and command == 5:
            value = b"\x01"
        elif s == "index" and command == 1:
            value = bytes([CISCO_BAUD.get(int.from_bytes(value, "big"), 0)])
        elif s == "unparsable" and command == 1:
            self.send(sub(101, value[:3]) + sub(150, b"\x01"))
            return
        self.send(sub(100 + command, value))

    def subnegotiation(self):
        if len(self.sub) < 2 or self.sub[0] != COM_PORT:
            return
        command, value = self.sub[1], bytes(self.sub[2:])
        name = NAMES[command] if command < len(NAMES) else str(command)
        print("request", name, value.hex(), file=sys.stderr, flush=True)
        self.answer(command, value)

    def negotiate(self, verb, option):
        # a plain server: agrees once to what it likes, never answers an answer
        if self.scenario == "late":
            return
        if verb == WILL and option in (BINARY, COM_PORT, SGA):
            if option not in self.agreed_will:
                self.agreed_will.add(option)
                self.send(bytes([IAC, DO, option]))
        elif verb == DO and option in (BINARY, SGA):
            if option not in self.agreed_do:
                self.agreed_do.add(option)
                self.send(bytes([IAC, WILL, option]))

    def data(self, data):
        if not data:
            return
        first = not self.seen_data
        self.seen_data = True
        s = self.scenario
        if first and s == "modem":
            state = 0x30   # CTS and DSR up
            for _ in range(6):
                state ^= 0x10
                self.send(sub(107, bytes([state | 0x01])))
        if first and s == "flood":
            block = bytes(range(256)).replace(b"\xff", b"\xfe") * 256
            for _ in range(8 * 1024 * 1024 // len(block)):
                self.conn.sendall(block)
        if first and s == "suspend":
            self.send(sub(108))
            self.resume_at = time.monotonic() + 0.3
        if first and s == "askssignature":
            for _ in range(3):
                self.send(sub(100))
        if first and s == "unknownbits":
            self.send(sub(106, b"\x61") + sub(106, b"\x08"))
        if first and s == "stormlater":
            self.storm()
        if self.delay:
            self.echoes.append((time.monotonic() + self.delay, escape(data)))
        else:
            self.send(escape(data))

    def feed(self, chunk):
        data = bytearray()
        for c in chunk:
            st = self.state
            if st == "data":
                if c == IAC:
                    self.state = "iac"
                else:
                    data.append(c)
            elif st == "iac":
                if c == IAC:
                    data.append(c)
                    self.state = "data"
                elif c in (WILL, WONT, DO, DONT):
                    self.verb = c
                    self.state = "verb"
                elif c == SB:
                    self.sub = bytearray()
                    self.state = "sub"
                else:
                    self.state = "data"
            elif st == "verb":
                self.negotiate(self.verb, c)
                self.state = "data"
            elif st == "sub":
                if c == IAC:
                    self.state = "subiac"
                else:
                    self.sub.append(c)
            elif st == "subiac":
                if c == SE:
                    self.subnegotiation()
                    self.state = "data"
                else:
                    self.sub.append(c)
                    self.state = "sub"
        self.data(bytes(data))

    def tick(self):
        now = time.monotonic()
        while self.echoes and self.echoes[0][0] <= now:
            self.send(self.echoes.pop(0)[1])
        if self.resume_at is not None and now >= self.resume_at:
            self.resume_at = None
            self.send(sub(109))
        if self.scenario == "linestate":
            if self.next_line_error is None or now >= self.next_line_error:
                self.next_line_error = now + 0.1
                self.send(sub(106, b"\x08") + sub(106, b"\x04"))

    def storm(self):
        toggle = bytes([IAC, WILL, BINARY, IAC, WONT, BINARY]) * 10000
        try:
            while True:   # never reads
                self.conn.sendall(toggle)
        except OSError:
            raise ConnectionResetError

    def run(self):
        self.agreed_will, self.agreed_do = set(), set()
        s = self.scenario
        if s == "late":
            end = time.monotonic() + 2.5
            while time.monotonic() < end:
                self.conn.sendall(b"early data " * 100)
                time.sleep(0.01)
            self.scenario = "standard"
            self.conn.sendall(bytes([IAC, DO, COM_PORT, IAC, DO, BINARY, IAC, WILL, BINARY]))
        if s == "storm":
            self.storm()
            return
        if s == "endless":
            self.conn.sendall(bytes([IAC, SB, COM_PORT, 101]) + b"\x01" * (1024 * 1024))
            self.scenario = "standard"
        while True:
            r, _, _ = select.select([self.conn], [], [], 0.02)
            if r:
                try:
                    chunk = self.conn.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                self.feed(chunk)
            self.tick()


def main():
    scenario = sys.argv[1] if len(sys.argv) > 1 else "standard"
    delay = float(sys.argv[2]) / 1000 if len(sys.argv) > 2 else 0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if scenario.startswith("storm"):
        # small buffers so that a client that queues answers meets its bound soon
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        Server(conn, scenario, delay).run()
    except (BrokenPipeError, ConnectionResetError):
        pass
    conn.close()


if __name__ == "__main__":
    main()
