"""The whole system on one machine for the console's end-to-end tests: zarvo-suite with three
simulated printers on a loopback subnet of its own, the storage manager and zarvo-console, each a
process in a temporary directory reached only over HTTP. The printers listen on ports 80 and 9100,
which needs root; without it, or where the programs cannot run, the tests are skipped (exit code
77, a skip to CTest). Every wait is bounded; only the processes started here are stopped, by PID.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import uuid
import http.client

SKIP = 77


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    sys.exit(SKIP)


def wait_until(what, check, limit=30.0, pause=0.05):
    """Calls check() until it returns something true; that value. Fails after `limit` seconds."""
    end = time.monotonic() + limit
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"gave up waiting for {what} after {limit} s")
        time.sleep(pause)


class Program:
    """One of our programs with its output in a log file; stopped with SIGTERM, the orderly way."""

    def __init__(self, name, argv, cwd, env=None):
        self.name = name
        self.log_path = os.path.join(cwd, f"{name}.log")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT, env=env)

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def wait_for(self, pattern, limit=30.0):
        """The first match of `pattern` in the output, once it is there."""
        def found():
            if self.process.poll() is not None:
                raise AssertionError(f"{self.name} ended ({self.process.returncode}):\n{self.output()}")
            return re.search(pattern, self.output())
        try:
            return wait_until(f"{pattern!r} from {self.name}", found, limit)
        except AssertionError:
            print(self.output(), file=sys.stderr)
            raise

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.log.close()


class System:
    NAMES = ["Front desk", "Accounts", "Warehouse"]

    def __init__(self, suite_exe, dsm_exe, console_exe, net="14"):
        if os.environ.get("ZARVO_E2E_SKIP"):
            skip(os.environ["ZARVO_E2E_SKIP"])
        for exe in (suite_exe, dsm_exe, console_exe):
            if not exe or not os.access(exe, os.X_OK):
                skip(f"{exe} is not built")
        if os.geteuid() != 0:
            skip("the simulated printers need root to listen on ports 80 and 9100")
        self.exes = (suite_exe, dsm_exe, console_exe)
        self.dir = tempfile.mkdtemp(prefix="console-e2e-")
        # A subnet of our own (the test's second octet, this run's third), so neither the other
        # end-to-end tests nor another run on this machine collide with this one.
        third = os.getpid() % 200 + 20
        self.addresses = [f"127.{int(net)}.{third}.{i + 2}" for i in range(3)]
        self.programs = []

    # --- Start and stop ------------------------------------------------------------------------

    def start(self):
        suite_exe, dsm_exe, console_exe = self.exes
        devices = "".join(
            f'<Device id="{i + 1}" address="{a}" name="{self.NAMES[i]}" model="ZX-{410 - 100 * (i // 2)}">'
            + ('<File name="Courier" kind="pclFont" id="3" size="3000"/>' if i == 0 else "")
            + "</Device>"
            for i, a in enumerate(self.addresses))
        self.write("suite.cfg", f'<SuiteConfig><Name>zarvo-suite</Name>'
                                f'<Fleet filesDir="fleet" confirmDelayMs="20">{devices}</Fleet>'
                                f'</SuiteConfig>')
        suite = self.run("suite", [suite_exe, "-exec", "--config", self.path("suite.cfg")])
        self.suite_port = int(suite.wait_for(r"Listening incomming requests on port: (\d+)").group(1))
        suite.wait_for("Fleet ready")
        naming = f"http://127.0.0.1:{self.suite_port}/"

        # The storage manager from its own directory, its configuration and store beside it.
        os.makedirs(self.path("dsm"))
        self.dsm_dir = self.path("dsm")
        shutil.copy(dsm_exe, self.path("dsm", "ZarvoPluginDSM"))
        self.write("dsm/ZarvoPluginDSM.cfg", f"<c><DispatcherURL>{naming}</DispatcherURL></c>")
        dsm = self.run("dsm", [self.path("dsm", "ZarvoPluginDSM"), "-exec"], cwd=self.dsm_dir)
        dsm.wait_for("Registration successful")

        self.uploads = self.path("dsm", "uploads")
        self.write("console.cfg", f"<ConsoleConfig><ServiceURL>http://127.0.0.1:0/</ServiceURL>"
                                  f"<DispatcherURL>{naming}</DispatcherURL>"
                                  f"<UploadDirectory>{self.uploads}</UploadDirectory>"
                                  f"</ConsoleConfig>")
        console = self.run("console", [console_exe, "--config", self.path("console.cfg"),
                                       "--url-file", self.path("console.url")])
        console.wait_for("Console ready at")
        with open(self.path("console.url")) as f:
            self.page = f.read().strip()
        match = re.match(r"http://127\.0\.0\.1:(\d+)/#token=([0-9a-f]+)$", self.page)
        assert match, self.page
        self.port, self.token = int(match.group(1)), match.group(2)
        return self

    def stop(self):
        for p in reversed(self.programs):
            p.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, name, argv, cwd=None):
        program = Program(name, argv, cwd or self.dir)
        self.programs.append(program)
        return program

    def log(self, name):
        return next(p.output() for p in self.programs if p.name == name)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def files_outside_stores(self):
        """Every file under the run's directory but the logs, the programs' own files and the
        printers' and the store's contents: where nothing an upload sends may land."""
        found = set()
        for root, _, names in os.walk(self.dir):
            rel = os.path.relpath(root, self.dir)
            if rel.startswith("fleet") or rel == os.path.join("dsm", "Files"):
                continue
            found.update(os.path.join(rel, n) for n in names)
        return found

    # --- Talking to the programs ---------------------------------------------------------------

    def api(self, method, path, body=None, headers=None, token=True, content_type=None):
        """(status, JSON answer) of one console request, as the page would send it."""
        h = {"Host": f"127.0.0.1:{self.port}"}
        if token:
            h["X-Console-Token"] = self.token
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            h["Content-Type"] = "application/json"
        if content_type:
            h["Content-Type"] = content_type
        h.update(headers or {})
        status, data = exchange(self.port, method, path, body, h, 60)
        try:
            return status, json.loads(data) if data else None
        except ValueError:
            return status, data

    def upload(self, name, content, token=True, size=None, chunks=None):
        """Posts one file as a browser's form does. `chunks` (with `size`) streams a large one."""
        boundary = uuid.uuid4().hex
        head = (f'--{boundary}\r\nContent-Disposition: form-data; name="file"; filename="{name}"\r\n'
                f"Content-Type: application/octet-stream\r\n\r\n").encode()
        tail = f"\r\n--{boundary}--\r\n".encode()
        if chunks is None:
            body, size = head + content + tail, len(content)
        else:
            body = (part for part in [head, *chunks, tail])
        h = {"Host": f"127.0.0.1:{self.port}",
             "Content-Type": f"multipart/form-data; boundary={boundary}",
             "Content-Length": str(len(head) + size + len(tail))}
        if token:
            h["X-Console-Token"] = self.token
        status, data = exchange(self.port, "POST", "/api/store", body, h, 120)
        return status, json.loads(data or b"null")

    def sim(self, command, children=""):
        """A command of the fleet itself (SIMSetFault, SIMGetDevices), straight to the suite."""
        body = (f'<?xml version="1.0" encoding="UTF-8"?><OrxRequest command="{command}">'
                f"{children}</OrxRequest>").encode()
        _, data = exchange(self.suite_port, "POST", "/" + command, body,
                           {"Content-Type": "text/xml"}, 30)
        text = data.decode("utf-16-le") if data[1:2] == b"\x00" else data.decode()
        assert "<Result>0</Result>" in text, text
        return text

    def fault(self, device, kind):
        self.sim("SIMSetFault", f"<Device>{device}</Device><Fault>{kind}</Fault>")

    def operation(self, op_id):
        status, answer = self.api("GET", f"/api/operations/{op_id}")
        assert status == 200, answer
        return answer

    def wait_for_status(self, op_id, statuses, limit=60.0):
        def done():
            o = self.operation(op_id)
            return o if o["status"] in statuses else None
        return wait_until(f"operation {op_id} in {statuses}", done, limit)

    def device_files(self, device_id):
        status, answer = self.api("GET", f"/api/devices/{device_id}/files")
        assert status == 200, answer
        return [f["name"] for f in answer["files"]]


def font(name):
    """A small PostScript Type 1 font in its ASCII form, as a font vendor ships it."""
    return (f"%!PS-AdobeFont-1.0: {name} 001.000\n"
            f"%%CreationDate: 2026\n/FontName /{name} def\n"
            "/FontType 1 def\n/PaintType 0 def\ncurrentfile eexec\n"
            "0000000000000000000000000000000000000000000000000000000000000000\n"
            "cleartomark\n").encode()


def exchange(port, method, path, body, headers, timeout):
    """(status, body bytes) of one HTTP request to 127.0.0.1:port."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers, encode_chunked=False)
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


def arguments(argv):
    """--suite EXE --dsm EXE --console EXE [--net N] [--screenshot PATH] from the CTest entry,
    and the rest for unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    for name in ("--suite", "--dsm", "--console", "--net", "--screenshot"):
        parser.add_argument(name)
    known, rest = parser.parse_known_args(argv)
    return {k: v for k, v in vars(known).items() if v is not None}, rest
