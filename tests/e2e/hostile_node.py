#!/usr/bin/env python3
"""A hostile NetBIOS over TCP/IP node on a loopback address, for end-to-end tests.

  hostile_node.py rival ADDR PORTS NAME   answers every query for NAME with ADDR
  hostile_node.py idle ADDR PORTS BOX NAME  asks BOX for a session on NAME, then
                                          says nothing; prints how long until
                                          the box hangs up

PORTS is NS:DGM:SSN. The node prints one line per thing it saw (a conflict
demand, a session call) and runs until killed, except idle.
"""
import socket
import struct
import sys
import threading
import time


def encode(name):
    raw = name.encode().ljust(16, b" ")[:16]
    out = bytes([32])
    for b in raw:
        out += bytes([0x41 + (b >> 4), 0x41 + (b & 15)])
    return out + b"\0"


def decode(data, pos):
    if data[pos] != 32 or len(data) < pos + 34:
        return None, pos
    raw = bytes(((data[pos + 1 + 2 * i] - 0x41) << 4) | (data[pos + 2 + 2 * i] - 0x41) for i in range(16))
    return raw.decode("latin-1").rstrip(" "), pos + 34


def say(line):
    print(line, flush=True)


def answer_queries(addr, ns, name):
    """Answers queries for `name` with `addr`; reports conflict demands."""
    sockets = []
    for bind_to in (addr, "127.255.255.255"):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        s.bind((bind_to, ns))
        sockets.append(s)
    unicast = sockets[0]

    def serve(s):
        while True:
            data, peer = s.recvfrom(1500)
            if len(data) < 12:
                continue
            tid, flags = struct.unpack(">HH", data[:4])
            opcode, rcode = (flags >> 11) & 15, flags & 15
            if flags & 0x8000:
                asked, _ = decode(data, 12)
                if opcode == 5 and rcode == 7:
                    say("conflict demand for %s from %s" % (asked, peer[0]))
                continue
            asked, pos = decode(data, 12)
            if opcode != 0 or asked != name or data[pos:pos + 2] != b"\0\x20":
                continue
            reply = struct.pack(">HHHHHH", tid, 0x8500, 0, 1, 0, 0) + encode(name)
            reply += struct.pack(">HHIH", 0x20, 1, 300000, 6) + b"\0\0" + socket.inet_aton(addr)
            unicast.sendto(reply, peer)

    for s in sockets:
        threading.Thread(target=serve, args=(s,), daemon=True).start()


def main():
    mode, addr, ports = sys.argv[1], sys.argv[2], [int(p) for p in sys.argv[3].split(":")]
    ns, ssn = ports[0], ports[2]
    if mode == "idle":
        box, name = sys.argv[4], sys.argv[5]
        s = socket.socket()
        s.bind((addr, 0))
        s.connect((box, ssn))
        s.sendall(struct.pack(">BBH", 0x81, 0, 68) + encode(name) + encode("IDLER"))
        if s.recv(4)[:1] != b"\x82":
            say("refused")
            return 1
        start = time.monotonic()
        say("session open")
        s.settimeout(120)
        while s.recv(4096):
            pass
        say("hung up after %.1f s" % (time.monotonic() - start))
        return 0
    name = sys.argv[4]
    answer_queries(addr, ns, name)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((addr, ssn))
    listener.listen(4)
    say("ready")
    while True:
        conn, peer = listener.accept()
        say("session call from %s" % peer[0])
        conn.close()


if __name__ == "__main__":
    sys.exit(main())
