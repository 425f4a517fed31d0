#!/usr/bin/env python3
"""A bridge that spoils the stream on purpose, so that the benchmark can show its checks bite.

  faultbridge.py DEVICE PORT FAULT[@OFFSET]

Serves the serial DEVICE to any number of TCP clients on 127.0.0.1:PORT (every pty byte to
every client, every client byte to the pty) and, from stream byte OFFSET on (default 1000),
does one thing wrong:
  none       nothing (the control)
  drop       loses one serial byte            dup        sends one serial byte twice
  swap       moves one serial byte behind the next different one
  istrip     clears bit 7 of the serial bytes  crlf       sends LF as CR LF
  echo       writes the serial bytes back to the device as well
  close      closes every client and exits
  drop-last  loses one serial byte for the newest client only
  cut-last   sends the newest client nothing from OFFSET on
  n2s-drop   loses one byte on its way from a client to the device
"""

import os
import selectors
import socket
import sys
import tty


def main():
    dev, port, fault_arg = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    fault, _, at = fault_arg.partition("@")
    at = int(at or 1000)
    fd = os.open(dev, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    lsock = socket.socket()
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind(("127.0.0.1", port))
    lsock.listen(32)
    sel = selectors.DefaultSelector()
    sel.register(lsock, selectors.EVENT_READ)
    sel.register(fd, selectors.EVENT_READ)
    clients = []
    state = {"s2n": 0, "n2s": 0, "held": None, "done": False}

    def spoil(data, direction):
        """The bytes to pass on for `data`, starting at stream offset state[direction]."""
        start = state[direction]
        state[direction] += len(data)
        if state["done"] or start + len(data) <= at:
            return data
        k = max(at - start, 0)
        head, tail = data[:k], data[k:]
        if fault == "swap":
            out = bytearray(head)
            for i, b in enumerate(tail):
                if state["held"] is None:
                    state["held"] = b
                    continue
                out.append(b)
                if b != state["held"]:
                    out.append(state["held"])
                    state["done"] = True
                    return bytes(out) + tail[i + 1:]
            return bytes(out)
        state["done"] = True
        if fault in ("drop", "drop-last", "n2s-drop"):
            return head + tail[1:]
        if fault == "dup":
            return head + tail[:1] + tail
        state["done"] = False  # the rest spoil every byte from the offset on
        if fault == "istrip":
            return head + bytes(b & 0x7F for b in tail)
        if fault == "crlf":
            return head + tail.replace(b"\n", b"\r\n")
        return data

    while True:
        for key, _ in sel.select():
            if key.fileobj is lsock:
                c, _ = lsock.accept()
                clients.append(c)
                sel.register(c, selectors.EVENT_READ)
            elif key.fileobj == fd:
                data = os.read(fd, 4096)
                if fault == "close" and state["s2n"] + len(data) > at:
                    for c in clients:
                        c.close()
                    sys.exit(3)
                start = state["s2n"]
                spoilt = spoil(data, "s2n") if fault not in ("n2s-drop", "echo") else data
                if fault == "echo" and state["s2n"] + len(data) > at:
                    os.write(fd, data)
                state["s2n"] += len(data) if fault in ("n2s-drop", "echo") else 0
                for i, c in enumerate(clients):
                    last = i == len(clients) - 1
                    if fault == "cut-last" and last:
                        c.sendall(data[:max(0, at - start)])
                    else:
                        c.sendall(spoilt if fault != "drop-last" or last else data)
            else:
                try:
                    data = key.fileobj.recv(4096)
                except ConnectionResetError:
                    data = b""
                if not data:
                    sel.unregister(key.fileobj)
                    clients.remove(key.fileobj)
                    key.fileobj.close()
                    continue
                os.write(fd, spoil(data, "n2s") if fault == "n2s-drop" else data)


if __name__ == "__main__":
    main()
