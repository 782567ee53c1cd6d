"""zq418-sim against real peers: lrzsz sz, and scripted peers playing the tool's side."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_peer import (ACK, CAN, EOT, NAK, Peer, Sim, data_blocks, end_of_batch,  # noqa: E402
                      frame, header)

SIM = None  # set from --sim


def payload(n, seed=7):
    """Reproducible bytes of every value, SUB and control bytes included."""
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


class SimCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zq418-sim-test-")
        self.sims, self.peers = [], []

    def tearDown(self):
        for p in self.peers:
            p.close()
        for s in self.sims:
            s.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args):
        sim = Sim(SIM, *args)
        self.sims.append(sim)
        return sim

    def open(self, sim):
        peer = Peer(sim.pty)
        self.peers.append(peer)
        return peer

    def path(self, name):
        return os.path.join(self.dir, name)

    def assertOk(self, sim, name, data):
        rc, verdict, _ = sim.finish()
        self.assertEqual(verdict, "VERDICT OK name=%s size=%d sha256=%s" % (
            name, len(data), hashlib.sha256(data).hexdigest()), sim.stderr)
        self.assertEqual(rc, 0)

    def assertFail(self, sim, *reasons):
        rc, verdict, _ = sim.finish()
        self.assertTrue(verdict.startswith("VERDICT FAIL "), verdict)
        for r in reasons:
            self.assertIn(r, verdict)
        self.assertEqual(rc, 1)
        return verdict

    def handshake(self, peer, start=b"C"):
        """Waits for the receiver's start character, as the tool does."""
        got = peer.read_until(lambda b: start in b, 3)
        self.assertIn(start, got)


@unittest.skipUnless(shutil.which("sz") and shutil.which("socat"), "needs lrzsz sz and socat")
class WithLrzsz(SimCase):
    """lrzsz's sender, relayed through pipes: sz flushes its terminal's queues as it ends,
    which would throw away its last block on a pty before the simulator has read it."""

    def send_with_sz(self, data, *sim_args):
        src = self.path("fw.bin")
        with open(src, "wb") as f:
            f.write(data)
        out = self.path("received.bin")
        sim = self.start("--no-dialogue", "--lenient-header", "--timeout", "3", "--out", out,
                         *sim_args)
        sz = subprocess.run(["socat", "FILE:%s,raw,echo=0" % sim.pty,
                             "EXEC:sz --ymodem -k fw.bin,pipes"], cwd=self.dir, timeout=60,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return sim, out, sz.returncode

    def test_clean_receive_is_byte_identical(self):
        data = payload(5000)
        for mode in ("C", "G", "NAK"):
            with self.subTest(mode=mode):
                sim, out, _ = self.send_with_sz(data, "--mode", mode)
                self.assertOk(sim, "fw.bin", data)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_resent_blocks_are_not_violations(self):
        data = payload(3000)
        for fault in ("nak=2:1", "nak=1:3", "corrupt=3", "drop=2"):
            with self.subTest(fault=fault):
                sim, _, _ = self.send_with_sz(data, "--fault", fault)
                self.assertOk(sim, "fw.bin", data)

    def test_strict_header_rejects_extra_fields(self):
        # sz announces modification time and mode after the size; without --lenient-header
        # the simulator holds the tool to name and size only.
        src = self.path("fw.bin")
        with open(src, "wb") as f:
            f.write(payload(200))
        sim = self.start("--no-dialogue", "--timeout", "3")
        subprocess.run(["socat", "FILE:%s,raw,echo=0" % sim.pty,
                        "EXEC:sz --ymodem -k fw.bin,pipes"], cwd=self.dir, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertFail(sim, "violation: header carries more than name and size")


# What each dialogue scenario sends; "bytes" are the device's output after the first '1'
# (menu) and after the second '1'.
class Dialogue(SimCase):
    def play(self, scenario, first_wait=0.4, second_wait=0.4, timeout="1"):
        sim = self.start("--scenario", scenario, "--timeout", timeout)
        peer = self.open(sim)
        self.assertEqual(peer.read(0.2), b"", "the device speaks only when asked")
        peer.write(b"1")
        menu = peer.read(first_wait)
        peer.write(b"1")
        after = peer.read(second_wait)
        return sim, peer, menu, after

    def lines(self, text):
        return [l for l in text.split(b"\n") if l]

    def assertFlashMode(self, sim, peer, after, abort_line_test):
        abort = [l for l in self.lines(after) if b"abort" in l]
        self.assertEqual(len(abort), 1, after)
        self.assertTrue(abort_line_test(abort[0]), abort[0])
        # Then it waits for the file: start characters, also across a reopen of the port.
        self.assertIn(b"C", after.split(b"\n")[-1] + peer.read_until(lambda b: b"C" in b, 2))
        peer.close()
        peer2 = self.open(sim)
        peer2.drain()
        self.assertIn(b"C", peer2.read_until(lambda b: b"C" in b, 2))
        sim.terminate()
        self.assertFail(sim, "interrupted", "no transfer")

    def test_normal(self):
        sim, peer, menu, after = self.play("normal", timeout="5")
        menu_lines = self.lines(menu)
        self.assertGreaterEqual(len(menu_lines), 3)
        self.assertIn(b"New", menu_lines[-1])
        self.assertTrue(all(b"New" not in l and b"abort" not in l for l in menu_lines[:-1]))
        self.assertTrue(menu.endswith(b"\n"))
        self.assertFlashMode(sim, peer, after, lambda l: b" abort" in l)

    def test_abort_in_a_longer_word(self):
        sim, peer, _, after = self.play("abort-in-word", timeout="5")
        self.assertFlashMode(sim, peer, after,
                             lambda l: any(b"abort" in w and w != b"abort" for w in l.split()))

    def test_long_line_comes_before_the_menu(self):
        sim, peer, menu, after = self.play("long-line", timeout="5")
        first = menu.split(b"\n")[0]
        self.assertGreaterEqual(len(first), 600)
        self.assertNotIn(b"\n", menu[:600])
        self.assertIn(b"New", self.lines(menu)[-1])
        self.assertFlashMode(sim, peer, after, lambda l: True)

    def test_nul_inside_a_line(self):
        sim, peer, menu, after = self.play("nul-in-line", timeout="5")
        first = self.lines(menu)[0]
        self.assertIn(b"\0", first)
        self.assertFalse(first.startswith(b"\0") or first.endswith(b"\0\r"))
        self.assertIn(b"New", self.lines(menu)[-1])
        self.assertFlashMode(sim, peer, after, lambda l: True)

    def test_new_and_abort_in_one_line_does_not_enter_flash_mode(self):
        sim = self.start("--scenario", "new-and-abort", "--timeout", "5")
        peer = self.open(sim)
        peer.write(b"1")
        first = self.lines(peer.read(0.4))
        self.assertTrue(b"New" in first[0] and b"abort" in first[0], first)
        self.assertIn(b"New", first[-1])
        self.assertNotIn(b"C", b"".join(first[1:]))
        # The answer to that line is the '1' that gets the flash-mode line.
        peer.write(b"1")
        after = peer.read(0.4)
        self.assertFlashMode(sim, peer, after, lambda l: b"New" not in l)

    def test_capital_abort_never_enters_flash_mode(self):
        sim, peer, menu, after = self.play("capital-abort")
        self.assertIn(b"Abort", after)
        self.assertNotIn(b"abort", after)
        peer.write(b"1")
        self.assertEqual(peer.read(0.5), b"", "no start character, no further lines")
        self.assertFail(sim, "timeout", "no transfer")

    def test_silent(self):
        sim = self.start("--scenario", "silent", "--timeout", "1")
        peer = self.open(sim)
        for _ in range(3):
            peer.write(b"1")
            self.assertEqual(peer.read(0.3), b"")
        self.assertFail(sim, "timeout", "no transfer")

    def test_chatter_has_no_gaps_and_no_abort(self):
        sim = self.start("--scenario", "chatter", "--timeout", "2")
        peer = self.open(sim)
        peer.write(b"1")
        got, last, gap = b"", time.monotonic(), 0.0
        end = last + 1.0
        while time.monotonic() < end:
            chunk = peer.read_until(lambda b: len(b) > 0, 0.5)
            now = time.monotonic()
            gap = max(gap, now - last)
            last = now
            got += chunk
        self.assertLess(gap, 0.1)
        self.assertGreater(got.count(b"\n"), 5)
        self.assertNotIn(b"abort", got)
        self.assertNotIn(b"New", got)
        self.assertFail(sim, "no transfer")


class ScriptedSender(SimCase):
    """A sender written out step by step, for what sz cannot be made to do."""

    def send_file(self, peer, name, data, crc=True, streaming=False, start=b"C"):
        t0 = time.monotonic()
        peer.write(header(name, len(data)) if crc else frame(0, name.encode() + b"\0" +
                                                             str(len(data)).encode(), 1024,
                                                             crc=False, pad=0))
        if not streaming:  # a streaming receiver answers the header with 'G' alone
            self.assertEqual(peer.read_byte(3), ACK)
        self.assertEqual(peer.read_byte(3), start[0])
        if streaming:
            # ...and not before the frame could have crossed a real line: a streaming
            # sender's quick look right after the header must find nothing.
            self.assertGreaterEqual(time.monotonic() - t0, 0.09)
        for number, (chunk, size) in enumerate(data_blocks(data), start=1):
            peer.write(frame(number, chunk, size, crc=crc))
            if not streaming:
                self.assertEqual(peer.read_byte(3), ACK, "block %d" % number)
        if streaming:
            peer.read(0.05)  # a streaming sender drops answers before EOT, like the tool
        peer.write(EOT)
        self.assertEqual(peer.read_byte(3), ACK)
        self.assertEqual(peer.read_byte(3), start[0])
        peer.write(end_of_batch() if crc else frame(0, b"", 1024, crc=False, pad=0))
        if not streaming:
            self.assertEqual(peer.read_byte(3), ACK)

    def test_whole_update_with_reopen_between_dialogue_and_transfer(self):
        link = self.path("ttyZQ")
        out = self.path("out.bin")
        sim = self.start("--link", link, "--out", out, "--timeout", "5")
        self.assertEqual(os.path.realpath(link), sim.pty)
        peer = Peer(link)
        peer.write(b"1")
        self.assertIn(b"New", peer.read(0.3))
        peer.write(b"1")
        self.assertIn(b"abort", peer.read_until(lambda b: b"abort" in b, 1))
        peer.close()
        time.sleep(0.3)  # nobody has the port open for a moment
        peer = self.open(sim)
        peer.drain()
        # Start characters come about once a second until the header block arrives.
        t0 = time.monotonic()
        self.assertEqual(peer.read_byte(2), ord("C"))
        self.assertEqual(peer.read_byte(2), ord("C"))
        self.assertGreater(time.monotonic() - t0, 0.5)
        data = payload(1025)  # one 1024-byte block and one 128-byte block with 1 byte
        self.send_file(peer, "c:/fw/app.dfu", data)
        self.assertOk(sim, "c:/fw/app.dfu", data)
        self.assertFalse(os.path.lexists(link), "link removed at exit")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_modes_and_sizes(self):
        # (mode, file size): checksum frames are one byte shorter; streaming has no ACKs
        # after data blocks; an empty file has no data block at all.
        for mode, size in (("NAK", 300), ("G", 2100), ("C", 0), ("G", 0)):
            with self.subTest(mode=mode, size=size):
                sim = self.start("--no-dialogue", "--mode", mode, "--timeout", "3")
                peer = self.open(sim)
                start = b"\x15" if mode == "NAK" else mode.encode()
                self.handshake(peer, start)
                data = payload(size)
                self.send_file(peer, "fw.dfu", data, crc=mode != "NAK", streaming=mode == "G",
                               start=start)
                self.assertOk(sim, "fw.dfu", data)

    def test_streaming_sender_drops_a_nak(self):
        sim = self.start("--no-dialogue", "--mode", "G", "--timeout", "3", "--fault", "nak=1:1")
        peer = self.open(sim)
        self.handshake(peer, b"G")
        data = payload(2048)
        self.send_file(peer, "fw.dfu", data, streaming=True, start=b"G")
        self.assertOk(sim, "fw.dfu", data)

    def begin(self, *args, size=3000):
        sim = self.start("--no-dialogue", "--timeout", "2", *args)
        peer = self.open(sim)
        self.handshake(peer)
        data = payload(size)
        peer.write(header("fw.dfu", len(data)))
        self.assertEqual(peer.read_byte(3), ACK)
        return sim, peer, data

    def after_header(self, peer):
        self.assertEqual(peer.read_byte(3), ord("C"))

    def end_batch(self, peer):
        """EOT, the repeated start character, and the closing block, each answered."""
        peer.write(EOT)
        self.assertEqual(peer.read_byte(3), ACK)
        self.assertEqual(peer.read_byte(3), ord("C"))
        peer.write(end_of_batch())
        self.assertEqual(peer.read_byte(3), ACK)

    def test_damaged_frames_are_rejected_and_reported(self):
        # A damaged frame on a line that cannot garble it is the sender's fault: NAK, then
        # a resend is accepted, but the verdict names it.
        good = None
        cases = {
            "bad block check": lambda f: f[:-1] + bytes([f[-1] ^ 1]),
            "bad block number complement": lambda f: f[:2] + bytes([f[2] ^ 0x80]) + f[3:],
            "incomplete frame": lambda f: f[:-3],
        }
        for what, damage in cases.items():
            with self.subTest(what=what):
                sim, peer, data = self.begin(size=1024)
                self.after_header(peer)
                good = frame(1, data, 1024)
                peer.write(damage(good))
                self.assertEqual(peer.read_byte(3), NAK)
                peer.write(good)
                self.assertEqual(peer.read_byte(3), ACK)
                self.end_batch(peer)
                self.assertFail(sim, "violation: %s in data block 1" % what)

    def test_repeated_block_is_acknowledged_and_kept_once(self):
        sim, peer, data = self.begin(size=2048)
        self.after_header(peer)
        for number, (chunk, size) in ((1, (data[:1024], 1024)), (1, (data[:1024], 1024)),
                                      (2, (data[1024:], 1024))):
            peer.write(frame(number, chunk, size))
            self.assertEqual(peer.read_byte(3), ACK)
        self.end_batch(peer)
        self.assertOk(sim, "fw.dfu", data)

    def test_sequence_and_content_violations(self):
        # (what the sender does wrong, the blocks it sends after the header, the reason)
        cases = [
            ("skips a block", [(2, b"x" * 128, 128)], "data block 1 expected, block number 2"),
            ("pads with zeros", [(1, b"y" * 100 + b"\0" * 28, 128)], "data block 1 padded with 0x00"),
            ("sends beyond the size", [(1, b"z" * 128, 128), (2, b"z" * 128, 128)],
             "data block 2 beyond the announced size"),
        ]
        for what, blocks, reason in cases:
            with self.subTest(what=what):
                sim, peer, _ = self.begin(size=100 if "beyond" not in what else 128)
                self.after_header(peer)
                for number, body, size in blocks:
                    peer.write(frame(number, body, size))
                    peer.read(0.1)
                peer.write(EOT)
                peer.read(0.2)
                peer.write(end_of_batch())
                self.assertIn("violation: " + reason, self.assertFail(sim))

    def test_stray_ones_are_dialogue_leftovers_only_before_the_header(self):
        # The tool's once-a-second '1' may still arrive while the device waits for the
        # header; once the batch has begun, a '1' on the line is a fault of the tool.
        for late in (False, True):
            with self.subTest(late=late):
                sim = self.start("--no-dialogue", "--timeout", "2")
                peer = self.open(sim)
                self.handshake(peer)
                data = payload(200)
                peer.write(b"1")
                peer.write(header("fw.dfu", len(data)))
                self.assertEqual(peer.read_byte(3), ACK)
                self.after_header(peer)
                if late:
                    peer.write(b"1")
                for number, (chunk, size) in enumerate(data_blocks(data), start=1):
                    peer.write(frame(number, chunk, size))
                    self.assertEqual(peer.read_byte(3), ACK)
                self.end_batch(peer)
                if late:
                    self.assertFail(sim, "violation: unexpected byte 0x31 between frames")
                else:
                    self.assertOk(sim, "fw.dfu", data)

    def test_early_eot_is_a_short_file(self):
        sim, peer, data = self.begin(size=300)
        self.after_header(peer)
        peer.write(frame(1, data[:128], 128))
        self.assertEqual(peer.read_byte(3), ACK)
        self.end_batch(peer)
        self.assertFail(sim, "violation: EOT after 128 of 300 bytes", "incomplete")

    def test_sender_cancels(self):
        sim, peer, data = self.begin()
        self.after_header(peer)
        peer.write(bytes([CAN, CAN]))
        self.assertFail(sim, "cancelled by sender", "incomplete: 0 of 3000")

    def test_can_twice_stops_a_sender_that_obeys(self):
        sim, peer, data = self.begin("--fault", "can-twice=2")
        self.after_header(peer)
        peer.write(frame(1, data[:1024], 1024))
        self.assertEqual(peer.read_byte(3), ACK)
        block2 = frame(2, data[1024:2048], 1024)
        peer.write(block2)
        self.assertEqual(peer.read_byte(3), CAN)
        peer.write(block2)
        self.assertEqual(peer.read_byte(3), CAN)
        verdict = self.assertFail(sim, "cancelled by receiver at data block 2 (injected)")
        self.assertNotIn("violation", verdict)

    def test_sender_that_ignores_cancel_is_a_violation(self):
        sim, peer, data = self.begin("--fault", "can-twice=1")
        self.after_header(peer)
        block1 = frame(1, data[:1024], 1024)
        for _ in range(2):
            peer.write(block1)
            self.assertEqual(peer.read_byte(3), CAN)
        time.sleep(0.6)
        peer.write(block1)
        self.assertFail(sim, "violation: sender kept sending after two CANs")

    def test_wrong_start_and_silence_after_header(self):
        sim, peer, _ = self.begin("--fault", "wrong-start")
        self.assertEqual(peer.read_byte(3), NAK, "a wrong byte instead of 'C'")
        self.assertNotIn("violation", self.assertFail(sim, "wrong start character"))

        sim = self.start("--no-dialogue", "--timeout", "1.5", "--fault", "silence-after-header")
        peer = self.open(sim)
        self.handshake(peer)
        peer.write(header("fw.dfu", 10))
        self.assertEqual(peer.read(1.0), b"")
        self.assertFail(sim, "no answer after the header (injected)", "timeout")

    def test_hangup_in_the_middle_of_a_block(self):
        link = self.path("ttyZQ")
        sim = self.start("--no-dialogue", "--timeout", "3", "--link", link,
                         "--fault", "hangup=2")
        peer = self.open(sim)
        self.handshake(peer)
        data = payload(3000)
        peer.write(header("fw.dfu", len(data)))
        self.assertEqual(peer.read_byte(3), ACK)
        self.after_header(peer)
        peer.write(frame(1, data[:1024], 1024))
        self.assertEqual(peer.read_byte(3), ACK)
        peer.write(frame(2, data[1024:2048], 1024))
        verdict = self.assertFail(sim, "line hung up in data block 2 (injected)")
        self.assertNotIn("violation", verdict)
        with self.assertRaises(OSError):  # the tool's next write finds the line gone
            os.write(peer.fd, b"x")
        self.assertFalse(os.path.lexists(link))

    def test_paced_line_takes_wire_time(self):
        # 9600 baud is 960 bytes/s: a 1029-byte frame cannot be answered in under 1.07 s.
        sim = self.start("--no-dialogue", "--timeout", "3", "--baud", "9600")
        peer = self.open(sim)
        self.handshake(peer)
        t0 = time.monotonic()
        peer.write(header("fw.dfu", 0))
        self.assertEqual(peer.read_byte(5), ACK)
        self.assertGreaterEqual(time.monotonic() - t0, 1029 / 960.0)

    def test_ten_naks_make_the_sender_give_up_and_an_eleventh_try_is_a_violation(self):
        for tries in (10, 11):
            with self.subTest(tries=tries):
                sim, peer, data = self.begin("--fault", "nak=1:10", "--timeout", "1.5", size=1024)
                self.after_header(peer)
                block1 = frame(1, data, 1024)
                answers = []
                for _ in range(tries):
                    peer.write(block1)
                    answers.append(peer.read_byte(3))
                self.assertEqual(answers, [NAK] * 10 + [ACK] * (tries - 10))
                verdict = self.assertFail(sim, "timeout", "incomplete: 0 of 1024" if tries == 10
                                          else "incomplete: 1024 of 1024")
                if tries == 10:
                    self.assertNotIn("violation", verdict)
                else:
                    self.assertIn("violation: data block 1 sent more than 10 times", verdict)

    def test_paced_output_takes_wire_time(self):
        # The 600-byte line and the menu after it at 9600 baud: at least 0.6 s on the wire.
        sim = self.start("--scenario", "long-line", "--baud", "9600", "--timeout", "2")
        peer = self.open(sim)
        t0 = time.monotonic()
        peer.write(b"1")
        got = peer.read_until(lambda b: b"New" in b and b.endswith(b"\n"), 5)
        self.assertIn(b"New", got)
        self.assertGreaterEqual(time.monotonic() - t0, len(got) / 960.0)
        sim.terminate()
        self.assertFail(sim, "interrupted")

    def test_termination_signal_gives_a_verdict_and_removes_the_link(self):
        link = self.path("ttyZQ")
        sim = self.start("--link", link)
        peer = self.open(sim)
        peer.write(b"1")
        peer.read(0.2)
        sim.terminate()
        self.assertFail(sim, "interrupted", "no transfer")
        self.assertFalse(os.path.lexists(link))


class Privileges(SimCase):
    REOPEN = r"""
import fcntl, os, subprocess, sys, termios, time, tty
sim = subprocess.Popen([sys.argv[1], "--timeout", "5"], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL)
pty = sim.stdout.readline().split()[1].decode()
def open_exclusive():
    fd = os.open(pty, os.O_RDWR | os.O_NOCTTY)
    fcntl.ioctl(fd, termios.TIOCEXCL)
    tty.setraw(fd)
    return fd
fd = open_exclusive()
os.write(fd, b"1"); time.sleep(0.3); os.write(fd, b"1"); time.sleep(0.3)
os.close(fd)
try:
    os.close(open_exclusive())
    print("reopened")
except OSError as e:
    print("reopen failed:", e)
sim.terminate()
sim.wait()
"""

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and
                         os.path.exists("/usr/bin/python3"),
                         "needs root to run the tool's side as an unprivileged user")
    def test_unprivileged_tool_reopens_its_exclusive_port(self):
        # A pty keeps the exclusive-use flag after the tool's close, where a USB serial
        # device would not; without privileges the tool could then not open it again for
        # the transfer.
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "/usr/bin/python3", "-c", self.REOPEN, os.path.abspath(SIM)],
                           capture_output=True, text=True, timeout=30, cwd="/")
        self.assertEqual(r.stdout.strip(), "reopened", r.stderr)


if __name__ == "__main__":
    if "--sim" in sys.argv:
        i = sys.argv.index("--sim")
        SIM = sys.argv[i + 1]
        del sys.argv[i:i + 2]
    unittest.main()
