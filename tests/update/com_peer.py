#!/usr/bin/env python3
"""The device side of a Wine COM port test: makes a pseudo-terminal, points LINK at it and
answers single bytes until it is terminated.

  '1' -> 'A'
  'S' -> 'Y' when the line is raw 115200 8N1 without flow control, else 'N'

Writes "ready" to READY once the link is in place; details of what it saw go to stderr.
"""
import os
import select
import signal
import sys
import termios


def settings_ok(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    checks = {
        "ispeed 115200": ispeed == termios.B115200,
        "ospeed 115200": ospeed == termios.B115200,
        "8 data bits": cflag & termios.CSIZE == termios.CS8,
        "no parity": not cflag & termios.PARENB,
        "1 stop bit": not cflag & termios.CSTOPB,
        "no RTS/CTS": not cflag & termios.CRTSCTS,
        "no XON/XOFF": not iflag & (termios.IXON | termios.IXOFF),
        "raw input": not lflag & (termios.ICANON | termios.ECHO | termios.ISIG),
    }
    for name, ok in checks.items():
        sys.stderr.write("%s: %s\n" % (name, "ok" if ok else "NO"))
    sys.stderr.flush()
    return all(checks.values())


def main():
    link, ready = sys.argv[1], sys.argv[2]
    master, slave = os.openpty()  # the slave stays open: the port survives the tool's closes
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(os.ttyname(slave), tmp)
    os.replace(tmp, link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(ready, "w") as f:
        f.write("ready\n")
    while True:
        readable, _, _ = select.select([master], [], [], 1.0)
        if not readable:
            continue
        data = os.read(master, 64)
        for byte in data:
            sys.stderr.write("got %r\n" % chr(byte))
            if byte == ord("1"):
                os.write(master, b"A")
            elif byte == ord("S"):
                os.write(master, b"Y" if settings_ok(slave) else b"N")


if __name__ == "__main__":
    main()
