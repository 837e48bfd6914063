#!/usr/bin/env python3
"""Client side of tools/drills.sh: loopback requests of the kinds the drills need.

  drill_client.py free-port                 a TCP port nothing listens on now
  drill_client.py request PORT [PATH [BODY]] one request; prints the status (exit 0 on 200)
  drill_client.py spin PORT                 POST / with 100,000 bytes of 'A', reads the answer
  drill_client.py stall PORT N              N connections that send half a head and stay;
                                            prints "ready" once all are open, holds them until
                                            stdin closes or 60 s pass
  drill_client.py bodies PORT N BYTES       N requests of BYTES at once (DSMServerDeleteFile
                                            with one long file name); prints "ok=K of N"
  drill_client.py post URL XML              the XML (a whole request) to URL; prints the answer
                                            body as text

Only 127.0.0.0/8 is ever contacted; every wait is bounded.
"""

import ipaddress
import re
import resource
import socket
import sys
import threading
import urllib.parse

TIMEOUT = 60


def connect(host, port):
    if not ipaddress.ip_address(host).is_loopback:
        raise SystemExit(f"{host} is not a loopback address")
    s = socket.create_connection((host, port), timeout=TIMEOUT)
    s.settimeout(TIMEOUT)
    return s


def read_answer(s):
    """(status, body) of one HTTP answer; status 0 when none came whole."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return 0, b""
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    m = re.match(rb"HTTP/1\.\d (\d+)", head)
    status = int(m.group(1)) if m else 0
    length = re.search(rb"(?i)content-length:\s*(\d+)", head)
    want = int(length.group(1)) if length else 0
    while len(body) < want:
        chunk = s.recv(65536)
        if not chunk:
            return 0, body
        body += chunk
    return status, body


def exchange(host, port, path, body):
    s = connect(host, port)
    try:
        s.sendall(b"POST %s HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (path, len(body)) + body)
        return read_answer(s)
    except OSError:
        return 0, b""
    finally:
        s.close()


def text_of(body):
    # DOM packets travel as UTF-16LE without byte-order mark, the others as UTF-8.
    if len(body) > 1 and body[1:2] == b"\0":
        return body.decode("utf-16-le", "replace")
    return body.decode("utf-8", "replace")


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "free-port":
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        print(s.getsockname()[1])
        s.close()
    elif cmd == "request":
        path = argv[3].encode() if len(argv) > 3 else b"/NoSuchCommand"
        body = argv[4].encode() if len(argv) > 4 else b"<OrxRequest/>"
        status, _ = exchange("127.0.0.1", int(argv[2]), path, body)
        print(status)
        return 0 if status == 200 else 1
    elif cmd == "spin":
        s = connect("127.0.0.1", int(argv[2]))
        s.sendall(b"POST / HTTP/1.1\r\n\r\n" + b"A" * 100000)
        status, _ = read_answer(s)
        s.close()
        print(status)
    elif cmd == "stall":
        raise_descriptor_limit()
        port, n = int(argv[2]), int(argv[3])
        held = []
        for _ in range(n):
            s = connect("127.0.0.1", port)
            s.sendall(b"POST /NoSuchCommand HTTP/1.1\r\n")
            held.append(s)
        print("ready", flush=True)
        # Held until the driver closes our stdin (or ends us), at most a minute.
        done = threading.Event()
        threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
        done.wait(60)
        for s in held:
            s.close()
    elif cmd == "bodies":
        port, n, size = int(argv[2]), int(argv[3]), int(argv[4])
        head = (b'<?xml version="1.0" encoding="UTF-8"?><OrxRequest command="DSMServerDeleteFile">'
                b"<File><FileName>")
        tail = b"</FileName></File></OrxRequest>"
        body = head + b"n" * (size - len(head) - len(tail)) + tail
        statuses = []
        def one():
            statuses.append(exchange("127.0.0.1", port, b"/DSMServerDeleteFile", body)[0])
        threads = [threading.Thread(target=one) for _ in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(2 * TIMEOUT)
        print(f"ok={statuses.count(200)} of {n}")
        return 0 if statuses.count(200) == n else 1
    elif cmd == "post":
        url = urllib.parse.urlsplit(argv[2])
        path = (url.path or "/").encode()
        status, body = exchange(url.hostname, url.port or 80, path, argv[3].encode())
        print(text_of(body))
        return 0 if status == 200 else 1
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
