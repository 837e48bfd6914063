"""zarvo-ctl against a loopback stand-in of the suite (naming service, storage manager and device
management service in one small HTTP server): tables, JSON, dates, devices by ID or address, the
new operation's ID, uploads, exit codes, and a reader that goes away early.

  zarvo_ctl_test.py PATH_TO_ZARVO_CTL
"""

import datetime
import http.server
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

CTL = sys.argv.pop(1) if len(sys.argv) > 1 else os.environ.get("ZARVO_CTL", "")


def packet(children, result=0, details="", utf16=False):
    text = (f'<?xml version="1.0" encoding="{"UTF-16" if utf16 else "UTF-8"}"?><OrxResponse>'
            f"<Result>{result}</Result><Details>{escape(details)}</Details>{children}</OrxResponse>")
    return text.encode("utf-16-le") if utf16 else text.encode()


class FakeSuite(http.server.ThreadingHTTPServer):
    """Answers every command itself; the naming service names itself for all of them."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.devices = [(1, "127.0.0.2"), (2, "127.0.0.3"), (3, "127.0.0.4")]
        self.operations = []  # (id, type, status, progress, source, destination)
        self.store = {}  # name -> (size, kind, date)
        self.store_takes_uploads = True
        self.failing = {}  # command -> (result, details)
        self.requests = []  # (command, body)
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def sent(self, command):
        return [body for c, body in self.requests if c == command]

    def answer(self, command, body):
        self.requests.append((command, body))
        if command in self.failing:
            result, details = self.failing[command]
            return packet("", result, details)
        request = ET.fromstring(body.split(b"?>", 1)[1])
        if command == "NSFindService":
            return packet(f"<ServiceURL>{self.url}</ServiceURL>")
        if command == "DMSGetDeviceList":
            return packet("".join(f'<Device ID="{i}"><IP>{a}</IP><Name>D{i}</Name></Device>'
                                  for i, a in self.devices), details="OK", utf16=True)
        if command == "DSMGetOperationList":
            return packet("".join(
                f"<Operation><ID>{o[0]}</ID><Type>{o[1]}</Type><Status>{o[2]}</Status>"
                f"<Progress>{o[3]}</Progress><Source>{o[4]}</Source>"
                f"<Destination>{o[5]}</Destination></Operation>" for o in self.operations))
        if command == "DSMGetFileList":
            if request.findtext("DeviceID") != "1":
                return packet("")
            return packet("<FileStorage><FileIndex>1</FileIndex><FileName>Courier</FileName>"
                          "<FileSize>3000</FileSize><FileType>pclFont</FileType>"
                          "<FilePersistence>permanent</FilePersistence>"
                          "<FileStorageFileID>3</FileStorageFileID></FileStorage>")
        if command == "DSMServerGetFileList":
            return packet("".join(
                f"<File><FileName>{escape(n)}</FileName><FileSize>{s}</FileSize>"
                f"<FileType>{k}</FileType><FileID></FileID><FileDate>{d}</FileDate></File>"
                for n, (s, k, d) in self.store.items()))
        if command == "DSMServerAddFile":
            for large in request.iter("LargeFile"):
                self.upload_seen = large.text
                if self.store_takes_uploads:
                    with open(large.text, "rb") as f:
                        self.store[large.get("filename")] = (len(f.read()), "psFont", 100)
            return packet("")
        if command in ("DSMAddFile", "DSMCopyFile", "DSMMoveFile", "DSMDeleteFile"):
            kind = command[3:-4].upper()
            if kind == "ADD":
                source, dest = "-", request.findtext("DeviceIP")
            elif kind == "DELETE":
                source, dest = request.findtext("DeviceIP"), "-"
            else:
                source = request.find("Source").findtext("DeviceIP")
                dest = ";".join(d.text for d in request.find("Destinations"))
            next_id = max([o[0] for o in self.operations], default=-1) + 1
            self.operations.append((next_id, kind, "IN_PROGRESS", 0, source, dest))
            return packet("")
        return packet("")


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        with self.server.lock:
            data = self.server.answer(self.path.strip("/"), body)
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


class ZarvoCtl(unittest.TestCase):
    def setUp(self):
        self.suite = FakeSuite()
        self.addCleanup(self.suite.server_close)
        self.addCleanup(self.suite.shutdown)

    def ctl(self, *args, ns=None):
        p = subprocess.run([sys.executable, CTL, "--ns", ns or self.suite.url, *args],
                           capture_output=True, text=True, timeout=60)
        return p.returncode, p.stdout, p.stderr

    def test_lists_are_tables_whose_columns_line_up(self):
        self.suite.operations = [(0, "ADD", "COMPLETED", 100, "-", "127.0.0.2"),
                                 (12, "COPY", "IN_PROGRESS", 37, "127.0.0.2",
                                  "127.0.0.3;127.0.0.4")]
        code, out, err = self.ctl("DSMGetOperationList")
        self.assertEqual(code, 0, err)
        header, *rows = out.splitlines()
        self.assertEqual(header.split(), ["ID", "Type", "Status", "Progress", "Source",
                                          "Destination"])
        self.assertEqual(len(rows), 2)
        for column in ("Status", "Source", "Destination"):
            at = header.index(column)
            for row in rows:
                self.assertNotEqual(row[at], " ", f"{column} starts where its header does")
                self.assertEqual(row[at - 1], " ")
        # Numbers are right-aligned under their header.
        end = header.index("ID") + len("ID")
        self.assertEqual([r[:end].strip() for r in rows], ["0", "12"])
        self.assertEqual(rows[0][end - 1], "0")

        self.suite.operations = []
        self.assertEqual(self.ctl("DSMGetOperationList")[1].strip(), "(no Operation)")

    def test_json_for_scripts_and_dates_in_local_iso_8601(self):
        self.suite.operations = [(4, "MOVE", "FAILED", 50, "127.0.0.2", "127.0.0.3")]
        self.suite.store = {"a.pfa": (10, "psFont", 1700000000)}
        code, out, _ = self.ctl("--json", "DSMGetOperationList")
        self.assertEqual(code, 0)
        answer = json.loads(out)
        self.assertEqual(answer["Result"], 0)
        self.assertEqual(answer["Operation"], [{"ID": 4, "Type": "MOVE", "Status": "FAILED",
                                                "Progress": 50, "Source": "127.0.0.2",
                                                "Destination": "127.0.0.3"}])
        local = datetime.datetime.fromtimestamp(1700000000).astimezone().isoformat(
            timespec="seconds")
        self.assertRegex(local, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        self.assertIn(local, self.ctl("DSMServerGetFileList")[1])
        stored = json.loads(self.ctl("--json", "DSMServerGetFileList")[1])["File"][0]
        self.assertEqual(stored["FileSize"], 10)
        self.assertEqual(stored["FileDate"], local)
        self.suite.operations = []
        self.assertEqual(json.loads(self.ctl("--json", "DSMGetOperationList")[1])["Operation"], [])

    def test_a_device_is_named_by_its_id_or_its_address(self):
        cases = [
            (["DSMGetFileList", "--device", "127.0.0.3"], "DSMGetFileList",
             "<DeviceID>2</DeviceID>"),
            (["DSMGetFileList", "--device", "2"], "DSMGetFileList", "<DeviceID>2</DeviceID>"),
            (["DSMAddFile", "--device", "3", "--server-file", "a.pfa"], "DSMAddFile",
             "<DeviceIP>127.0.0.4</DeviceIP>"),
            (["DSMCopyFile", "--from", "1", "--to", "127.0.0.3", "--to", "3", "--file",
              "Courier:pclFont"], "DSMCopyFile",
             "<Destinations><DeviceIP>127.0.0.3</DeviceIP><DeviceIP>127.0.0.4</DeviceIP>"),
        ]
        for args, command, expected in cases:
            with self.subTest(args=args):
                code, _, err = self.ctl(*args)
                self.assertEqual(code, 0, err)
                self.assertIn(expected, self.suite.sent(command)[-1].decode())
        self.assertIn("<FileSize>3000</FileSize>", self.suite.sent("DSMCopyFile")[-1].decode())
        code, _, err = self.ctl("DSMGetFileList", "--device", "9")
        self.assertEqual(code, 2)
        self.assertIn("no device 9", err)

    def test_a_new_operation_is_named_by_its_id(self):
        self.suite.operations = [(6, "ADD", "COMPLETED", 100, "-", "127.0.0.2")]
        code, out, _ = self.ctl("DSMDeleteFile", "--device", "1", "--file", "Courier:pclFont")
        self.assertEqual(code, 0)
        self.assertIn("OperationID: 7", out)
        code, out, _ = self.ctl("--json", "DSMAddFile", "--device", "1", "--server-file", "a")
        self.assertEqual(json.loads(out)["OperationID"], 8)

    def test_failed_answers_and_failed_requests_end_with_their_own_exit_codes(self):
        self.suite.failing["DSMCancelOperation"] = (5, "Service paused")
        code, out, err = self.ctl("DSMCancelOperation", "--op", "1")
        self.assertEqual(code, 1)
        self.assertIn("Result: 5  Service paused", out)
        code, _, err = self.ctl("DSMGetOperationList", ns="http://127.0.0.1:1/")
        self.assertEqual(code, 2)
        self.assertIn("zarvo-ctl: ", err)
        self.assertNotIn("Traceback", err)
        code, _, err = self.ctl("DSMGetOperationList", ns="http://10.1.2.3:8090/")
        self.assertEqual(code, 2)
        self.assertIn("loopback", err)

    def test_upload_puts_the_file_beside_the_storage_manager_and_into_its_store(self):
        with tempfile.TemporaryDirectory() as work:
            uploads = os.path.join(work, "uploads")
            font = os.path.join(work, "Garamond.pfa")
            with open(font, "wb") as f:
                f.write(b"%!PS-AdobeFont-1.0: Garamond\n")
            code, out, err = self.ctl("upload", font, "--upload-dir", uploads)
            self.assertEqual(code, 0, err)
            self.assertIn("stored Garamond.pfa: 29 bytes", out)
            self.assertEqual(os.path.dirname(self.suite.upload_seen), uploads)
            self.assertNotEqual(os.path.basename(self.suite.upload_seen), "Garamond.pfa")
            self.assertEqual(os.listdir(uploads), [], "the copy is removed once stored")

            code, _, err = self.ctl("upload", font, "--upload-dir", uploads)
            self.assertEqual(code, 1)
            self.assertIn("already holds", err)
            self.suite.store_takes_uploads = False
            code, _, err = self.ctl("upload", font, "--name", "Other.pfa", "--upload-dir", uploads)
            self.assertEqual(code, 1)
            self.assertIn("did not store Other.pfa", err)
            code, _, err = self.ctl("upload", font, "--name", "../x.pfa", "--upload-dir", uploads)
            self.assertEqual(code, 2)
            self.assertEqual(self.suite.sent("DSMServerAddFile").__len__(), 2)

    def test_a_reader_that_goes_away_early_gets_no_traceback(self):
        self.suite.operations = [(i, "ADD", "COMPLETED", 100, "-", "127.0.0.2")
                                 for i in range(5000)]
        p = subprocess.Popen([sys.executable, CTL, "--ns", self.suite.url, "DSMGetOperationList"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = p.stdout.readline()
        p.stdout.close()
        _, err = p.communicate(timeout=60)
        self.assertEqual(first.split()[0], b"ID")
        self.assertEqual(err, b"")
        self.assertNotEqual(p.returncode, 0)


if __name__ == "__main__":
    if not CTL:
        print("usage: zarvo_ctl_test.py PATH_TO_ZARVO_CTL", file=sys.stderr)
        sys.exit(2)
    unittest.main()
