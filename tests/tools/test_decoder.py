"""Tests of the support decoder (tools/decoder/dc_decode.py)."""

import base64
import io
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DECODER = os.path.join(HERE, "..", "..", "tools", "decoder", "dc_decode.py")
sys.path.insert(0, os.path.dirname(DECODER))
import dc_decode  # noqa: E402


def sale_image(sale_id=77, paid=46000.5, created=46000.25, terminal=101, status=0):
    # Roles slot 1 (profit center 1) -> employee 1001; profit-center slot 3
    # (profit center 5) with fact slots 0 and 2 (facts 54181 and 54728).
    header = struct.pack("<HHidd B i h", 0b10, 0b1000, sale_id, paid, created, 2, terminal, status)
    return header + struct.pack("<i", 1001) + struct.pack("<i", 0b101) + struct.pack("<dd", 12.5, 3.0)


def punch_image(date=46000.0):
    return struct.pack("<dihihidd", date, 3, 480, 481, 960, 959, 11.25, 1.5)


def b64(data):
    return base64.b64encode(data).decode("ascii")


def document(sale=None, punch=None):
    return {
        "Command": "Post",
        "Header": {"LocCode": "TST001", "ActiveHistoryStart": 0, "ActiveHistoryEnd": 45999},
        "Contents": {"ContentsStart": 46000, "ContentsEnd": 46000.5, "HistoryStart": 0},
        "SalesDataJSON": [{"SalesData": b64(sale if sale is not None else sale_image())}],
        "LaborData": [{"Employee": 1001, "WeekStart": 46000, "WeekEnd": 46000,
                       "Punches": [b64(punch if punch is not None else punch_image())]}],
    }


class DayCountTest(unittest.TestCase):
    def test_texts(self):
        cases = [
            (46000, "2025-12-09"),
            (46000.5, "2025-12-09 12:00:00"),
            ("46000.75", "2025-12-09 18:00:00"),
            (2, "1900-01-01"),
            (-1.25, "1899-12-29 06:00:00"),
            # a hair under a whole second counts as that second
            (46000 + 59.9999999 / 86400, "2025-12-09 00:01:00"),
            (0, None),
            ("abc", None),
            (None, None),
            (1e300, None),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(dc_decode.day_count_text(value), expected)


class DocumentTest(unittest.TestCase):
    def test_images_are_decoded_into_named_fields_with_dates(self):
        result = dc_decode.readable(document())
        sale = result["SalesDataJSON"][0]["SalesData"]
        self.assertEqual(sale["SaleID"], 77)
        self.assertEqual(sale["Terminal"], 101)
        self.assertEqual(sale["Employees"], {"1": 1001})
        self.assertEqual(sale["ProfitCenters"]["5"]["Facts"], {"54181": 12.5, "54728": 3.0})
        self.assertEqual(sale["PaidTimeAsDate"], "2025-12-09 12:00:00")
        self.assertEqual(sale["CreatedTimeAsDate"], "2025-12-09 06:00:00")
        punch = result["LaborData"][0]["Punches"][0]
        self.assertEqual((punch["Role"], punch["InTime"], punch["OutTime"]), (3, 480, 960))
        self.assertEqual(punch["PunchDateAsDate"], "2025-12-09")
        self.assertEqual(result["LaborData"][0]["WeekStartAsDate"], "2025-12-09")
        self.assertEqual(result["Contents"]["ContentsEndAsDate"], "2025-12-09 12:00:00")
        self.assertEqual(result["Header"]["ActiveHistoryEndAsDate"], "2025-12-08")
        # A zero day count means "not set" and gets no date.
        self.assertNotIn("ActiveHistoryStartAsDate", result["Header"])
        self.assertNotIn("HistoryStartAsDate", result["Contents"])
        # The day counts themselves stay.
        self.assertEqual(result["Contents"]["ContentsStart"], 46000)

    def test_a_bad_image_is_reported_and_the_rest_still_decoded(self):
        cases = [
            ("short sale", document(sale=sale_image()[:-3]), "SalesDataJSON"),
            ("long punch", document(punch=punch_image() + b"\0"), "LaborData"),
        ]
        for name, doc, broken in cases:
            with self.subTest(name):
                result = dc_decode.readable(doc)
                if broken == "SalesDataJSON":
                    bad = result["SalesDataJSON"][0]["SalesData"]
                    self.assertEqual(result["LaborData"][0]["Punches"][0]["Role"], 3)
                else:
                    bad = result["LaborData"][0]["Punches"][0]
                    self.assertEqual(result["SalesDataJSON"][0]["SalesData"]["SaleID"], 77)
                self.assertIn("Error", bad)
                self.assertIn("Base64", bad)

    def test_invalid_base64_is_reported(self):
        doc = document()
        doc["SalesDataJSON"][0]["SalesData"] = "not base64!"
        bad = dc_decode.readable(doc)["SalesDataJSON"][0]["SalesData"]
        self.assertEqual(bad["Base64"], "not base64!")


class LogTest(unittest.TestCase):
    def log_text(self):
        post = json.dumps(document(), separators=(",", ":"))
        return "\n".join([
            "12/09/2025 10:00:00.000    --------------------------------------------------",
            "12/09/2025 10:00:00.001  Sending: {\"Command\":\"Authorize\",\"LocCode\":\"TST001\"}",
            "12/09/2025 10:00:00.050  Server Response: {\"Authenticated\":true}",
            "12/09/2025 10:00:01.000  Starting Cycle TST001",
            "12/09/2025 10:00:01.100  Sending: " + post,
            "12/09/2025 10:00:01.200  Server Response: {\"Header\":{\"LastCycleEnd\":46000.5}}",
            "12/09/2025 10:00:02.000  Sending: {broken",
        ]) + "\n"

    def test_every_sending_line_becomes_an_entry_with_its_answer(self):
        entries = dc_decode.decode_text(self.log_text())
        self.assertEqual([e["Line"] for e in entries], [2, 5, 7])
        self.assertEqual(entries[0]["Document"]["Command"], "Authorize")
        self.assertEqual(entries[0]["Response"], {"Authenticated": True})
        self.assertEqual(entries[1]["Logged"], "12/09/2025 10:00:01.100")
        self.assertEqual(entries[1]["Document"]["SalesDataJSON"][0]["SalesData"]["SaleID"], 77)
        self.assertEqual(entries[1]["Response"]["Header"]["LastCycleEndAsDate"], "2025-12-09 12:00:00")
        self.assertIn("Error", entries[2])
        self.assertNotIn("Response", entries[2])

    def test_program_reads_files_in_cp1252_and_fails_on_other_files(self):
        with tempfile.TemporaryDirectory() as folder:
            doc_file = os.path.join(folder, "post.json")
            doc = document()
            doc["Header"]["LocCode"] = "Caf\u00e9"
            with open(doc_file, "wb") as f:
                f.write(json.dumps(doc, ensure_ascii=False).encode("cp1252"))
            log_file = os.path.join(folder, "site.LOG")
            with open(log_file, "wb") as f:
                f.write(self.log_text().encode("cp1252"))
            other = os.path.join(folder, "other.txt")
            with open(other, "w") as f:
                f.write("nothing to see\n")

            run = subprocess.run([sys.executable, DECODER, doc_file, log_file], capture_output=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            first, _, rest = run.stdout.decode("utf-8").partition("\n}\n")
            self.assertEqual(json.loads(first + "\n}")["Header"]["LocCode"], "Caf\u00e9")
            self.assertEqual(len(json.loads(rest)), 3)

            for args in ([other], [os.path.join(folder, "missing.json")]):
                with self.subTest(args=args):
                    run = subprocess.run([sys.executable, DECODER] + args, capture_output=True)
                    self.assertEqual(run.returncode, 1)
                    self.assertIn(b"dc_decode:", run.stderr)


class SummaryTest(unittest.TestCase):
    SUMMARY = os.path.join(os.path.dirname(DECODER), "summary.py")

    def run_summary(self, answers):
        """Runs summary.py on a log with one Authorize and one post per answer
        (None: the post got no answer); returns its exit status and output."""
        post = json.dumps(document(), separators=(",", ":"))
        lines = ["12/09/2025 10:00:00.001  Sending: {\"Command\":\"Authorize\"}",
                 "12/09/2025 10:00:00.050  Server Response: {\"Authenticated\":true}"]
        for answer in answers:
            lines.append("12/09/2025 10:00:01.100  Sending: " + post)
            if answer is not None:
                lines.append("12/09/2025 10:00:01.200  Server Response: " + answer)
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "SITE_DataCollector_20251209.LOG"), "w") as f:
                f.write("\n".join(lines) + "\n")
            decoded = os.path.join(folder, "decoded")
            run = subprocess.run([sys.executable, self.SUMMARY, folder, "--decoded", decoded],
                                 capture_output=True, text=True)
            written = sorted(os.listdir(decoded)) if os.path.isdir(decoded) else []
        return run.returncode, run.stdout, written

    def test_exit_status_says_whether_every_post_was_accepted(self):
        cases = [
            ("all accepted", ["{}", "{\"Header\":{\"LastCycleEnd\":46000.5}}"], 0),
            ("resend", ["{}", "{\"Resend\":5}"], 1),
            ("reinitialise", ["{\"Reinitialize\":1}"], 1),
            ("error", ["{\"Error\":\"x\"}"], 1),
            ("no answer", ["{}", None], 1),
            ("no post", [], 1),
        ]
        for name, answers, status in cases:
            with self.subTest(name):
                code, out, written = self.run_summary(answers)
                self.assertEqual(code, status, out)
                self.assertIn("%d posts" % len(answers), out)
                self.assertEqual(len(written), len(answers) + 1)

    def test_counts_of_a_post(self):
        _, out, _ = self.run_summary(["{}"])
        self.assertIn("current 2025-12-09 through 2025-12-09 12:00:00", out)
        self.assertIn("1 sales, 2 facts, 1 punches, 0 employees", out)


if __name__ == "__main__":
    unittest.main()
