"""The console's JSON API over HTTP against the real programs: zarvo-suite with three printers,
the storage manager and zarvo-console. Refused requests get clear 4xx answers and leave nothing
behind; accepted ones reach the printers.

  console_api_e2e.py --suite EXE --dsm EXE --console EXE
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system as e2e  # noqa: E402

ARGS, REST = e2e.arguments(sys.argv[1:])


class ConsoleApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = e2e.System(ARGS.get("suite"), ARGS.get("dsm"), ARGS.get("console"),
                           ARGS.get("net", "14")).start()

    @classmethod
    def tearDownClass(cls):
        cls.s.stop()

    def assertRefused(self, answer, status, code):
        got_status, body = answer
        self.assertEqual(got_status, status, body)
        self.assertEqual(body["error"]["code"], code, body)
        self.assertTrue(body["error"]["message"])

    def test_the_fleet_and_what_each_printer_holds(self):
        status, answer = self.s.api("GET", "/api/devices")
        self.assertEqual(status, 200)
        self.assertEqual([d["name"] for d in answer["devices"]], e2e.System.NAMES)
        self.assertEqual([d["address"] for d in answer["devices"]], self.s.addresses)
        self.assertTrue(all(d["reachable"] for d in answer["devices"]))
        self.assertIn("Courier", self.s.device_files(1))
        self.assertNotIn("Courier", self.s.device_files(2))

    def test_an_upload_goes_to_the_store_and_from_there_to_two_printers(self):
        status, answer = self.s.upload("Garamond.pfa", e2e.font("Garamond"))
        self.assertEqual(status, 201, answer)
        self.assertEqual(answer["stored"][0]["kind"], "psFont")
        self.assertEqual(os.listdir(self.s.uploads), [], "the upload's copy is gone")
        self.assertRefused(self.s.upload("Garamond.pfa", b"again"), 409, "NameTaken")

        status, answer = self.s.api("POST", "/api/operations",
                                    {"type": "add", "devices": [1, self.s.addresses[1]],
                                     "files": ["Garamond.pfa"]})
        self.assertEqual(status, 202, answer)
        ids = [o["id"] for o in answer["operations"]]
        self.assertEqual(len(ids), 2)
        for op_id in ids:
            done = self.s.wait_for_status(op_id, {"COMPLETED", "FAILED"})
            self.assertEqual(done["status"], "COMPLETED", done)
            self.assertEqual(done["progress"], 100)
        # A printer keeps a PostScript font under the font's own name.
        for device in (1, 2):
            self.assertIn("Garamond", self.s.device_files(device))
        self.assertNotIn("Garamond", self.s.device_files(3))
        self.assertIn("Operation %d started: ADD" % ids[0], self.s.log("dsm"))
        self.assertIn("Store: added \"Garamond.pfa\"", self.s.log("dsm"))

    def test_refused_requests_are_told_why_and_change_nothing(self):
        before = self.s.files_outside_stores()
        _, listed = self.s.api("GET", "/api/operations")
        # The in-process tests take every refusal; these are the ones the real HTTP path and the
        # real store could get wrong.
        cases = [
            ("malformed JSON", "POST", "/api/operations",
             {"body": b'{"type": "add",', "content_type": "application/json"}, 400, "BadJson"),
            ("no token", "POST", "/api/operations/clear", {"token": False}, 403, "NoToken"),
            ("another site's page", "POST", "/api/operations/clear",
             {"headers": {"Origin": "http://evil.example"}}, 403, "ForeignOrigin"),
            ("an unknown operation", "GET", "/api/operations/4711", {}, 404, "UnknownOperation"),
            ("a stored name that climbs out", "DELETE", "/api/store/..%2F..%2Fsuite.cfg", {}, 400,
             "BadName"),
        ]
        for why, method, path, options, status, code in cases:
            with self.subTest(why):
                self.assertRefused(self.s.api(method, path, **options), status, code)
        self.assertRefused(self.s.upload("../../suite.cfg", b"%!PS"), 400, "BadName")
        self.assertEqual(self.s.files_outside_stores(), before)
        self.assertEqual(self.s.api("GET", "/api/operations")[1]["total"], listed["total"])

    def test_an_upload_over_256_mib_is_refused_and_leaves_nothing(self):
        # One MiB over: the console refuses it by its length and reads it away unwritten. (A
        # file a byte over the limit inside a smaller body is refused as it is written; the
        # HTTP front's own tests take that edge with a small limit.)
        size = 257 * 1024 * 1024
        chunk = b"\0" * (1024 * 1024)
        chunks = [chunk] * 257
        self.assertRefused(self.s.upload("huge.pfa", None, size=size, chunks=chunks), 413,
                           "TooLarge")
        self.assertEqual(os.listdir(self.s.uploads), [])
        names = [f["name"] for f in self.s.api("GET", "/api/store")[1]["files"]]
        self.assertNotIn("huge.pfa", names)

    def test_a_job_to_a_silent_printer_is_canceled(self):
        status, answer = self.s.upload("Silent.pfa", e2e.font("Silent"))
        self.assertEqual(status, 201, answer)
        self.s.fault(3, "silent")
        try:
            status, answer = self.s.api("POST", "/api/operations",
                                        {"type": "add", "devices": [3], "files": ["Silent.pfa"]})
            self.assertEqual(status, 202, answer)
            op_id = answer["operations"][0]["id"]
            # The download is under way once the printer's part of the file is sent.
            e2e.wait_until("the download to start",
                           lambda: self.s.operation(op_id)["progress"] > 0)
            self.assertEqual(self.s.api("POST", f"/api/operations/{op_id}/cancel")[0], 202)
            done = self.s.wait_for_status(op_id, {"CANCELED", "FAILED", "COMPLETED"}, 30)
            self.assertEqual(done["status"], "CANCELED", done)
            self.assertRefused(self.s.api("POST", f"/api/operations/{op_id}/cancel"), 409,
                               "NotRunning")
        finally:
            self.s.fault(3, "none")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + REST)
