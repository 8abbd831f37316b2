#!/usr/bin/env python3
"""The far device's UART model (tests/support/uartdevice.py) against frames worked out by hand
from the definition of an asynchronous serial frame, then as a process on a pseudo-terminal."""
import os
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "support"))
from uartdevice import Chain, Settings  # noqa: E402

CYCLE = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
T = 1 / 9600


def through(port, device, data, gap, clock=16):
    """What comes back for `data` sent `gap` seconds apart (0: back to back), in model time."""
    chain = Chain(Settings(port), Settings(device), clock)
    for i, b in enumerate(data):
        chain.arrive(b, i * gap, i)
    return chain, chain.advance(len(data) * gap + 1)


class Frames(unittest.TestCase):
    def test_matching_settings_echo_every_byte_after_two_frames(self):
        for gap in (0.002, 0):
            chain, back = through("9600,8N1", "9600,8N1", bytes(range(256)), gap)
            self.assertEqual(bytes(v for v, _, _, _ in back), bytes(range(256)))
            self.assertEqual(sum(len(e) for _, _, e, _ in back), 0)
        # a lone byte: ten bits out, the device takes it at the middle of its stop bit and
        # answers at once, the port takes the echo at the middle of the echo's stop bit
        _, back = through("9600,8N1", "9600,8N1", b"0", 1, clock=0)
        self.assertAlmostEqual(back[0][1], 19 * T)

    def test_seven_data_bits_with_even_parity_set_bit_7_where_the_byte_has_odd_ones(self):
        # the device reads the tester's bit 7 (0 in the cycle) as its parity bit and echoes the
        # 7 bits with their parity, which the 8N1 port reads as bit 7
        chain, back = through("9600,8N1", "9600,7E1", CYCLE, 0.01)
        expect = bytes(b | 0x80 if bin(b).count("1") % 2 else b for b in CYCLE)
        self.assertEqual(bytes(v for v, _, _, _ in back), expect)
        self.assertEqual(chain.device_rx.errors["parity"], sum(b != e for b, e in zip(CYCLE, expect)))

    def test_a_device_at_twice_the_rate_splits_a_byte_and_the_port_joins_the_echo(self):
        # '0' at 9600 is low for 5 bits, high 2, low 2, high: at 19200 that is a break (all
        # samples low), then a frame starting at the second low stretch, 0xF8
        chain = Chain(Settings("9600,8N1"), Settings("19200,8N1"), clock=0)
        chain.port_tx.send(ord("0"), 0, 0)
        took = chain.device_rx.advance(1)
        self.assertEqual([(v, e) for v, _, e, _ in took], [(0x00, ["break"]), (0xF8, [])])
        self.assertAlmostEqual(took[0][1], 4.75 * T)
        self.assertAlmostEqual(took[1][1], 11.75 * T)
        # the echoes: 0x00 low from 4.75 to 9.25 bit times, 0xF8 low from 11.75 to 13.75; the
        # 9600 port samples just after the edges at 9.25 (its clock sees the start edge late)
        # and reads 0,0,0,0,1,1,1,0,0 then the stop bit high: 0x38
        _, back = through("9600,8N1", "19200,8N1", b"0", 1)
        self.assertEqual([v for v, _, _, _ in back], [0x38])

    def test_a_port_at_half_the_rate_garbles_both_ways(self):
        # the same waveforms twice as slow: the server's port, not the device, is set wrong
        _, back = through("4800,8N1", "9600,8N1", b"0", 1)
        self.assertEqual([v for v, _, _, _ in back], [0x38])

    def test_a_low_stretch_shorter_than_half_a_bit_is_no_start_bit(self):
        # 0xFF at 9600 is low for its start bit only; a 1200-baud device samples high at its middle
        chain, back = through("9600,8N1", "1200,8N1", b"\xff", 1, clock=0)
        self.assertEqual((chain.device_rx.taken, back), (0, []))

    def test_odd_parity_and_two_stop_bits_keep_the_values(self):
        # 8O1: the echo's parity bit stands where the port expects its stop bit: a framing
        # error exactly where the parity bit is 0 (an odd number of ones), the value intact
        chain, back = through("9600,8N1", "9600,8O1", CYCLE, 0.01)
        self.assertEqual(bytes(v for v, _, _, _ in back), CYCLE)
        odd = sum(bin(b).count("1") % 2 for b in CYCLE)
        self.assertEqual(chain.port_rx.errors["framing"], odd)
        chain, back = through("9600,8N1", "9600,8N2", CYCLE, 0.01)
        self.assertEqual(bytes(v for v, _, _, _ in back), CYCLE)

    def test_a_slow_device_answers_each_byte_later_by_its_delay(self):
        # 15 ms after the device took each byte, longer than the 10 ms between bytes: the
        # echoes overlap the next sends and still come back whole, in order
        chain = Chain(Settings("9600,8N1"), Settings("9600,8N1"), clock=0, answer_after=0.015)
        for i, b in enumerate(CYCLE):
            chain.arrive(b, i * 0.01, i)
        back = chain.advance(1)
        self.assertEqual(bytes(v for v, _, _, _ in back), CYCLE)
        for i, (_, at, _, _) in enumerate(back):
            self.assertAlmostEqual(at, i * 0.01 + 19 * T + 0.015)

    def test_a_device_set_otherwise_reads_the_frames_after_the_change_at_its_new_settings(self):
        chain = Chain(Settings("9600,8N1"), Settings("9600,8N1"), clock=0)
        chain.arrive(ord("0"), 0, 0)
        before = chain.advance(0.01)
        chain.set_device(Settings("19200,8N1"))
        chain.arrive(ord("0"), 0.01, 1)
        after = chain.advance(1)
        # as the device at 19200 from the start reads it (the case above)
        self.assertEqual(([v for v, _, _, _ in before], [v for v, _, _, _ in after]), ([0x30], [0x38]))
        self.assertEqual((chain.device_rx.taken, chain.device_rx.errors["break"]), (3, 1))

    def test_settings_are_checked(self):
        for bad in ("9600", "9600,9N1", "9600,8X1", "9600,8N3", "0,8N1", "fast,8N1"):
            with self.assertRaises(ValueError):
                Settings(bad)
        self.assertEqual(str(Settings("31250,7E1.5")), "31250 7E1.5")


class OnAPty(unittest.TestCase):
    def exchange(self, options, data):
        master, slave = os.openpty()
        path = os.ttyname(slave)
        proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "support",
                                                              "uartdevice.py"), path, *options],
                                stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(0.5)   # the model has opened its end and set it raw
            got = b""
            for b in data:
                os.write(master, bytes([b]))
                time.sleep(0.005)
            while select.select([master], [], [], 0.5)[0]:
                got += os.read(master, 4096)
        finally:
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=10)
            os.close(master)
            os.close(slave)
        return got, proc.returncode, err

    def test_a_device_set_otherwise_mid_run_changes_the_replies_from_then_on(self):
        # from 0.1 s after the first byte, 7E1: the replies unchanged up to a point, then each
        # byte with an odd number of ones with bit 7 set
        got, status, err = self.exchange(["--device-then", "0.1,9600,7E1"], CYCLE)
        seven = bytes(b | 0x80 if bin(b).count("1") % 2 else b for b in CYCLE)
        self.assertIn(got, [CYCLE[:k] + seven[k:] for k in range(1, len(CYCLE))])
        self.assertNotEqual(got, CYCLE)
        self.assertIn("device 9600 8N1, then 9600 7E1:", err)

    def test_the_process_echoes_through_the_model_and_reports_on_sigterm(self):
        got, status, err = self.exchange(["--device", "9600,7E1"], CYCLE)
        self.assertEqual(got, bytes(b | 0x80 if bin(b).count("1") % 2 else b for b in CYCLE))
        self.assertEqual(status, 0)
        self.assertIn("port 9600 8N1, device 9600 7E1: the device's UART took 36 bytes "
                      "(framing 0, parity 17, break 0)", err)


if __name__ == "__main__":
    unittest.main()
