"""The wire formats, byte for byte, all integers little-endian: the logger's
messages and records, its 4-byte reply, and the device requests' frames.

Run as a program it is a client of its own: `wire.py SOCKET SEVERITY TEXT`
sends TEXT as one text record (code 20001, "{pid}" in it replaced by its
process id) to the side-channel socket SOCKET and prints the reply.
"""

import os
import socket
import struct
import sys

SIDE = 2  # message type on the side channel
WRITE = 0x102  # message type of a write to a descriptor
TEXT_CODE = 20001
STARTED_CODE = 0x00104E21
MESSAGE_HEADER = struct.Struct('<HHiII')  # type, header length, byte count, reserved x2
RECORD_HEADER = struct.Struct('<iII')  # severity word, code, reserved
FRAME_HEADER = struct.Struct('<II')  # command code, byte count


def record(payload, code=1, severity=13):
    """A record as it lands in a /dev/slog file: its header, then payload."""
    return RECORD_HEADER.pack(severity, code, 0) + payload


def text(string, code=TEXT_CODE, severity=13):
    """A text record: string (str or bytes) and its terminating zero."""
    return record((string.encode() if isinstance(string, str) else string) + b'\0', code,
                  severity)


def message(payload, type=SIDE, length=16, count=None, reserved=0):
    """A message: header, then payload (a record). The header's fields may be
    given wrong."""
    return MESSAGE_HEADER.pack(type, length, len(payload) if count is None else count,
                               reserved, 0) + payload


def ints(*values):
    return struct.pack('<%di' % len(values), *values)


def words(*values):
    return struct.pack('<%dI' % len(values), *values)


def frame(code, payload, count=None):
    """A device request as devctl writes it: code, byte count, the bytes."""
    return FRAME_HEADER.pack(code, len(payload) if count is None else count) + payload


def frames(data):
    """(code, record bytes) of every frame in data."""
    found = []
    while data:
        code, count = FRAME_HEADER.unpack_from(data)
        found.append((code, data[8:8 + count]))
        data = data[8 + count:]
    return found


def reply(packet):
    """The logger's answer: the record's byte count, or minus an error number."""
    return struct.unpack('<i', packet)[0]


def exchange(client, packet):
    """Sends packet on a connected client socket; the logger's reply."""
    client.send(packet)
    return reply(client.recv(8))


def connect(path, timeout=20):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    client.settimeout(timeout)
    client.connect(path)
    return client


if __name__ == '__main__':
    path, severity, string = sys.argv[1:4]
    with connect(path) as client:
        print(exchange(client, message(text(string.replace('{pid}', str(os.getpid())),
                                            severity=int(severity)))), flush=True)
