#!/usr/bin/env python3
"""A FastCGI peer that stops reading: asks for COUNT trees (/api/v1/all.cgi) on one kept connection to port 9000,
reads nothing for PAUSE seconds, then reads every answer and checks it: whole records, END_REQUEST last, the tree
closed at its end. Prints one line: answers complete, bytes of content each.

    stalled_reader.py COUNT PAUSE [READY_FILE]    (READY_FILE is created once the requests are sent)
"""
import socket
import struct
import sys
import time


def record(kind, content=b"", request_id=1):
    padding = (8 - len(content) % 8) % 8
    return struct.pack(">BBHHBB", 1, kind, request_id, len(content), padding, 0) + content + b"\0" * padding


def name_value(name, value):
    return bytes([len(name), len(value)]) + name + value


def main():
    count, pause = int(sys.argv[1]), float(sys.argv[2])
    request = (record(1, struct.pack(">HB5x", 1, 1)) + record(4, name_value(b"SCRIPT_NAME", b"/api/v1/all.cgi"))
               + record(4) + record(5))
    peer = socket.create_connection(("127.0.0.1", 9000))
    peer.sendall(request * count)
    if len(sys.argv) > 3:
        open(sys.argv[3], "w").close()
    time.sleep(pause)
    peer.settimeout(30)
    data = bytearray()
    answers, content, position = [], bytearray(), 0
    while len(answers) < count:
        chunk = peer.recv(1 << 20)
        if not chunk:
            break
        data += chunk
        while len(data) - position >= 8:
            _, kind, _, length, padding, _ = struct.unpack_from(">BBHHBB", data, position)
            if len(data) - position < 8 + length + padding:
                break
            if kind == 6:
                content += data[position + 8:position + 8 + length]
            elif kind == 3:
                answers.append(content)
                content = bytearray()
            position += 8 + length + padding
    complete = len(answers) == count and all(a.endswith(b"}}\r\n") for a in answers)
    print(f"stalled reader: {len(answers)} of {count} answers after a {pause:g} s pause, "
          f"{'every byte' if complete else 'CUT'}: {[len(a) for a in answers]} bytes")
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
