#!/usr/bin/env python3
"""A user's script on pyserial's own RFC 2217 client, driven by telnet_server_test.

  rfc2217_client.py PORT

Opens rfc2217://127.0.0.1:PORT and does one thing at a time; after each it prints a line
saying what it did (or saw) and waits for a line on standard input, so that the test can look
at the port and the simulated board in between. Any failure prints "FAIL why" and exits 1."""
import sys
import time

DEADLINE = 20.0  # seconds for anything to happen, however busy the machine
# Every byte value, 255 among them, and the line ends a telnet filter would fold.
PATTERN = bytes(range(256)) * 2 + b"\r\n\r\x00\xff\xff\r"


def fail(why):
    print("FAIL " + why, flush=True)
    sys.exit(1)


def step(what):
    print(what, flush=True)
    if sys.stdin.readline() == "":
        fail("the test went away")


def wait_for(condition, what):
    end = time.monotonic() + DEADLINE
    while not condition():
        if time.monotonic() > end:
            fail(what)
        time.sleep(0.02)


try:
    import serial
except ImportError:
    fail("pyserial is missing (Debian package python3-serial, see scripts/install-deps)")

try:
    port = serial.serial_for_url("rfc2217://127.0.0.1:%s?timeout=%d" % (sys.argv[1], DEADLINE),
                                 baudrate=9600, bytesize=8, parity="E", stopbits=1,
                                 timeout=DEADLINE)
    step("open 9600 8E1")
    port.dtr = False
    port.rts = True
    step("dtr 0 rts 1")
    port.dtr = True
    port.rts = False
    step("dtr 1 rts 0")
    wait_for(lambda: port.cd and port.cts, "DCD and CTS never reported on")
    step("cd 1 cts 1")
    port.send_break(0.05)
    step("break")
    port.write(PATTERN)
    port.flush()
    step("written")
    got = port.read(len(PATTERN))
    if got != PATTERN:
        fail("read %d bytes, not the %d written to the port: %s"
             % (len(got), len(PATTERN), got.hex()))
    port.close()
except Exception as e:  # pyserial's SerialException, or ValueError for a refused setting
    fail(repr(e))
print("closed", flush=True)
