"""Helpers for driving zq418-sim from the tool's side of the line in tests."""
import os
import select
import signal
import subprocess
import time
import tty

SOH, STX, EOT, ACK, NAK, CAN, SUB = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18, 0x1A


def crc16(data):
    """CRC-16/XMODEM, bit by bit (the simulator's own is table-driven)."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def frame(number, payload, size=None, crc=True, pad=SUB):
    """One block frame: payload padded to size (128 or 1024)."""
    size = size or (1024 if len(payload) > 128 else 128)
    body = bytes(payload) + bytes([pad]) * (size - len(payload))
    head = bytes([STX if size == 1024 else SOH, number & 0xFF, 0xFF - (number & 0xFF)])
    check = crc16(body).to_bytes(2, "big") if crc else bytes([sum(body) & 0xFF])
    return head + body + check


def header(name, size, extra=b""):
    return frame(0, name.encode() + b"\0" + str(size).encode() + extra, 1024, pad=0)


def end_of_batch():
    return frame(0, b"", 1024, pad=0)


def data_blocks(data):
    """The tool's split: 1024-byte blocks while 1024 remain, then 128-byte blocks."""
    blocks, at = [], 0
    while at < len(data):
        size = 1024 if len(data) - at >= 1024 else 128
        blocks.append((data[at:at + size], size))
        at += size
    return blocks


class Sim:
    """A running zq418-sim; its first output line names the pty."""

    def __init__(self, exe, *args):
        self.proc = subprocess.Popen([exe, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        first = self.proc.stdout.readline().decode()
        if not first.startswith("PTY /dev/"):
            raise AssertionError("no PTY line: %r" % first)
        self.pty = first.split()[1]

    def finish(self, timeout=20):
        out, err = self.proc.communicate(timeout=timeout)
        lines = out.decode(errors="replace").splitlines()
        self.stderr = err.decode(errors="replace")
        return self.proc.returncode, (lines[-1] if lines else ""), lines

    def terminate(self):
        self.proc.send_signal(signal.SIGTERM)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class Peer:
    """The tool's end: opens the pty slave raw, like the serial layer does."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def write(self, data):
        if isinstance(data, int):
            data = bytes([data])
        view = memoryview(data)
        while view:
            n = os.write(self.fd, view)
            view = view[n:]

    def read(self, timeout):
        """Whatever arrives until the line has been quiet for the timeout."""
        out = b""
        while True:
            r, _, _ = select.select([self.fd], [], [], timeout)
            if not r:
                return out
            chunk = os.read(self.fd, 4096)
            if not chunk:
                return out
            out += chunk

    def read_byte(self, timeout):
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return None
        data = os.read(self.fd, 1)
        return data[0] if data else None

    def read_until(self, predicate, timeout):
        """Reads until predicate(bytes so far) holds or the time is up."""
        end = time.monotonic() + timeout
        out = b""
        while not predicate(out):
            left = end - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                out += os.read(self.fd, 4096)
        return out

    def drain(self):
        return self.read(0.05)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
