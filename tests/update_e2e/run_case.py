#!/usr/bin/env python3
"""One end-to-end case of `zq418-flash [--port NAME] FIRMWARE` against zq418-sim.

Usage: run_case.py ZQ418_FLASH ZQ418_SIM CASE

Checks the tool's whole standard output byte for byte, its exit status, and the simulator's
verdict and received image. Exit 77 means the case cannot run here (skipped).

For the Windows program under Wine: ZQ418_WINE_LINK names the link that Wine's COM7 points
to; the simulator's pty is put behind it and the tool runs as `wine ZQ418_FLASH --port COM7`.
"""
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import termios

START = b"\r\nSwitch to Flash Mode.\r\n"
OPEN_FAILURE = b"\r\nOpen Serial Prot Error!!\r\n"
DIALOGUE_FAILURE = b"\r\nSwitch to Flash Mode Error!\r\n"
TRANSFER_START = b"\r\nUpdataing Firmware ...\r\n"
ENTRY_FAILURE = (b"\r\nEntry updata Firmware mode fail!!\r\nPress Power+Reset Key entry "
                 b"Bootloader and Firmware mode,\r\nComfirm COM Port is correct.\r\n")
WRITER_END = b"\r\nSendThread Exit.\r\n"

# What the simulator says, line by line.
MENU = [b"\r\n", b"ZQ-418 boot menu\r\n", b"  1  Firmware update\r\n",
        b"  2  Device information\r\n", b"  3  Restart\r\n", b"Press 1 to load New firmware\r\n"]
FLASH_MODE = b"Flash mode: waiting for the file, any other key will abort\r\n"
FLASH_MODE_IN_WORD = b"Flash mode: waiting for the file (press a key: aborting)\r\n"
CAPITAL_ABORT = b"Flash mode: waiting for the file, any other key will Abort\r\n"
NEW_AND_ABORT = b"New firmware? Press 1, any other key to abort\r\n"
CHATTER = b"status: sensor 0x5A ok, battery 97%, uptime 000123 s\r\n"

FIRMWARE = "dev.dfu"


def success(name=FIRMWARE):
    return b"\r\nUpdate " + name.encode() + b" success.\r\n"


def flashed(lines, outcome):
    """Log of an update that reached flash mode: the writer end may fall anywhere after the
    last device line."""
    return {"before": [START] + lines, "after": [TRANSFER_START, outcome], "floating": True}


def ended(messages):
    """Log of an update that did not reach flash mode: the writer end comes last."""
    return {"before": messages + [WRITER_END], "after": [], "floating": False}


# case: (simulator arguments, expected log, exit status, the simulator's verdict must be OK)
CASES = {
    "normal-crc": (["--mode", "C"], flashed(MENU + [FLASH_MODE], success()), 0, True),
    "normal-streaming": (["--mode", "G"], flashed(MENU + [FLASH_MODE], success()), 0, True),
    "normal-checksum": (["--mode", "NAK"], flashed(MENU + [FLASH_MODE], success()), 0, True),
    "paced": (["--baud", "115200"], flashed(MENU + [FLASH_MODE], success()), 0, True),
    "abort-in-word": (["--scenario", "abort-in-word"],
                      flashed(MENU + [FLASH_MODE_IN_WORD], success()), 0, True),
    "new-and-abort": (["--scenario", "new-and-abort"],
                      flashed([NEW_AND_ABORT] + MENU + [FLASH_MODE], success()), 0, True),
    # 511 bytes are collected, the next is dropped, the remaining 88 end with the menu's
    # first line feed.
    "long-line": (["--scenario", "long-line"],
                  flashed([b"#" * 88 + b"\r\n"] + MENU[1:] + [FLASH_MODE], success()), 0, True),
    "nul-in-line": (["--scenario", "nul-in-line"],
                    flashed([b"ZQ-418"] + MENU + [FLASH_MODE], success()), 0, True),
    "silent": (["--scenario", "silent"], ended([START, DIALOGUE_FAILURE]), 1, False),
    "capital-abort": (["--scenario", "capital-abort"],
                      ended([START] + MENU + [CAPITAL_ABORT, DIALOGUE_FAILURE]), 1, False),
    "chatter": (["--scenario", "chatter"], None, 1, False),  # checked by its own rule
    "nak-gives-up": (["--fault", "nak=3:10"], flashed(MENU + [FLASH_MODE], ENTRY_FAILURE), 1,
                     False),
    "cancel-twice": (["--fault", "can-twice=2"], flashed(MENU + [FLASH_MODE], ENTRY_FAILURE), 1,
                     False),
    "silence-after-header": (["--fault", "silence-after-header"],
                             flashed(MENU + [FLASH_MODE], ENTRY_FAILURE), 1, False),
    # Faults the sender recovers from: still a clean update.
    "nak-recovered": (["--fault", "nak=2:3", "--fault", "corrupt=5"],
                      flashed(MENU + [FLASH_MODE], success()), 0, True),
    "no-such-port": (None, ended([START, OPEN_FAILURE]), 1, False),
    "port-busy": ([], ended([START, OPEN_FAILURE]), 1, False),
    "permission": ([], ended([START, OPEN_FAILURE]), 1, False),
    "no-port-found": (None, ended([ENTRY_FAILURE]), 1, False),
    # A firmware file that is not there: refused before the device is touched, nothing logged.
    "missing-firmware": ([], {"before": [], "after": [], "floating": False}, 1, False),
}


class Failure(Exception):
    pass


def check_log(out, expected):
    """Compares the whole standard output with the expected log."""
    before, after = b"".join(expected["before"]), b"".join(expected["after"])
    if not expected["floating"]:
        if out != before:
            raise Failure("standard output differs:\n got %r\nwant %r" % (out, before))
        return
    # The writer end comes exactly once, somewhere after the last device line.
    if out.count(WRITER_END) != 1:
        raise Failure("writer end message not exactly once: %r" % out)
    at = out.index(WRITER_END)
    rest = out[:at] + out[at + len(WRITER_END):]
    if rest != before + after:
        raise Failure("standard output differs:\n got %r\nwant %r" % (rest, before + after))
    if at < len(before):
        raise Failure("writer end message before the flash-mode line: %r" % out)


def check_chatter(out):
    body = out
    if not body.startswith(START) or not body.endswith(DIALOGUE_FAILURE + WRITER_END):
        raise Failure("chatter: wrong frame: %r" % out[:200])
    lines = body[len(START):-len(DIALOGUE_FAILURE + WRITER_END)]
    if not lines or lines != CHATTER * (len(lines) // len(CHATTER)):
        raise Failure("chatter: device lines not whole chatter lines: %r" % lines[-200:])


def start_sim(sim, args, work):
    proc = subprocess.Popen([sim, "--out", os.path.join(work, "received.bin"),
                             "--timeout", "15"] + args,
                            stdout=subprocess.PIPE, stderr=open(os.path.join(work, "sim.err"), "wb"))
    first = proc.stdout.readline().decode().strip()
    if not first.startswith("PTY "):
        proc.kill()
        raise Failure("simulator did not announce its pty: %r" % first)
    return proc, first[4:]


def main():
    tool, sim, case = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    sim_args, expected, want_status, want_clean = CASES[case]
    work = tempfile.mkdtemp(prefix="update_e2e.")
    procs = []
    try:
        firmware = os.path.join(work, FIRMWARE)
        data = hashlib.sha256(case.encode()).digest() * (50 * 1024 // 32 + 3)  # ~50 KiB
        with open(firmware, "wb") as f:
            f.write(data)

        env = dict(os.environ)
        wine_link = os.environ.get("ZQ418_WINE_LINK")
        command = ["wine", tool] if wine_link else [tool]
        sim_proc = None
        holder = None
        preexec = None
        if case == "no-such-port":
            command += ["--port", "COM9" if wine_link else os.path.join(work, "no-such-tty")]
        elif case == "no-port-found":
            pass
        else:
            sim_proc, pty = start_sim(sim, sim_args, work)
            procs.append(sim_proc)
            if wine_link:
                if case in ("port-busy", "permission"):
                    print("SKIP: Wine opens serial ports without exclusion and as this user")
                    return 77
                if os.path.lexists(wine_link + ".new"):
                    os.unlink(wine_link + ".new")
                os.symlink(pty, wine_link + ".new")
                os.replace(wine_link + ".new", wine_link)
                pty = "COM7"
            command += ["--port", pty]
            if case == "port-busy":
                # Another program holding the port as this tool does.
                holder = os.open(pty, os.O_RDWR | os.O_NOCTTY)
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.ioctl(holder, termios.TIOCEXCL)
            if case == "permission":
                if os.geteuid() != 0 or shutil.which("setpriv") is None:
                    print("SKIP: needs root and setpriv to run the tool as another user")
                    return 77
                os.chmod(work, 0o755)
                os.chmod(firmware, 0o644)
                command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                           "--"] + command
        # A relative path: the device is told the name as given.
        command.append("missing.dfu" if case == "missing-firmware" else FIRMWARE)

        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=120, env=env, cwd=work)
        out, err = result.stdout, result.stderr
        sys.stderr.write("--- tool stderr\n%s\n" % err.decode(errors="replace")[-3000:])

        if case == "no-port-found" and b"Find ZQ-418 at" in out:
            print("SKIP: a device is attached; the scan found it")
            return 77
        if case == "chatter":
            check_chatter(out)
        else:
            check_log(out, expected)
        if result.returncode != want_status:
            raise Failure("exit status %d, expected %d" % (result.returncode, want_status))
        if case == "permission" and b"dialout" not in err:
            raise Failure("no dialout hint on standard error")
        if case == "port-busy" and b"busy" not in err:
            raise Failure("no busy hint on standard error")
        if case == "missing-firmware" and b"no such file" not in err:
            raise Failure("no 'no such file' message on standard error")

        if sim_proc is not None:
            if holder is not None:
                os.close(holder)
            try:
                sim_out, _ = sim_proc.communicate(timeout=5 if not want_clean else 30)
            except subprocess.TimeoutExpired:
                sim_proc.kill()
                sim_out, _ = sim_proc.communicate()
            verdict = sim_out.decode(errors="replace").strip().splitlines()
            verdict = verdict[-1] if verdict else ""
            sys.stderr.write("--- simulator: %s\n" % verdict)
            clean = verdict.startswith("VERDICT OK")
            # Never a success message unless the device got the file whole.
            if (success() in out) != clean:
                raise Failure("success message %s but verdict %r" %
                              ("logged" if success() in out else "missing", verdict))
            if want_clean:
                digest = hashlib.sha256(data).hexdigest()
                expect = "VERDICT OK name=%s size=%d sha256=%s" % (FIRMWARE, len(data), digest)
                if verdict != expect:
                    raise Failure("verdict %r, expected %r" % (verdict, expect))
                with open(os.path.join(work, "received.bin"), "rb") as f:
                    if f.read() != data:
                        raise Failure("received image differs from the firmware file")
        print("PASS %s" % case)
        return 0
    except Failure as failure:
        print("FAIL %s: %s" % (case, failure))
        return 1
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
