#!/usr/bin/env python3
"""Support decoder: prints posted collector documents as readable JSON.

    dc_decode.py FILE [FILE...]      (or "-" for standard input)

FILE is either one posted document (the JSON text the collector sends) or a
daily log file written with "LogComm" on, whose "Sending: " lines hold the
documents and whose "Server Response: " lines hold the server's answers.

Every sale image and punch image is replaced by its fields (profit-center and
fact slots named by their numbers), and every day count of the document is
kept and also shown as a date beside it ("<member>AsDate"). An image that
cannot be decoded is shown with the reason and its Base64 text; the other
records are still decoded.

The image decoding itself is the one of tools/stats-server/decode.py, shared
with the test statistics server. Standard library only.
"""

import base64
import binascii
import datetime
import json
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "stats-server"))
import decode  # noqa: E402

SENDING = "Sending: "
RESPONSE = "Server Response: "

# Members whose value is a day count (days since 1899-12-30, fraction = time).
DAY_COUNT_MEMBERS = {
    "ActiveHistoryStart", "ActiveHistoryEnd", "LastSent", "LastCycleEnd",
    "SentDate", "ContentsStart", "ContentsEnd", "HistoryStart", "HistoryEnd",
    "RetrieveTime", "WeekStart", "WeekEnd", "PaidTime", "CreatedTime", "PunchDate",
}

EPOCH = datetime.datetime(1899, 12, 30)


def day_count_text(value):
    """'YYYY-MM-DD' or 'YYYY-MM-DD HH:MM:SS' for a day count; None for 0 or a non-number."""
    try:
        days = float(value)
    except (TypeError, ValueError):
        return None
    if days == 0 or days != days or abs(days) > 2958465:
        return None
    # Before 1899-12-30 the whole part counts the days back and the fraction
    # is still the time of that day: -1.25 is 1899-12-29 06:00.
    whole = int(days)
    fraction = abs(days - whole)
    # Whole milliseconds, as the collector counts them, so that 0.999999 of a
    # second does not show as the second before.
    moment = EPOCH + datetime.timedelta(days=whole, milliseconds=round(fraction * 86400000))
    if moment.hour == 0 and moment.minute == 0 and moment.second == 0 and moment.microsecond == 0:
        return moment.strftime("%Y-%m-%d")
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def with_dates(node):
    """A copy of node in which every day-count member has a "<name>AsDate" sibling."""
    if isinstance(node, list):
        return [with_dates(item) for item in node]
    if not isinstance(node, dict):
        return node
    result = {}
    for key, value in node.items():
        result[key] = with_dates(value)
        if key in DAY_COUNT_MEMBERS and not isinstance(value, (dict, list, bool)):
            text = day_count_text(value)
            if text is not None:
                result[key + "AsDate"] = text
    return result


def _image(text, decoder):
    try:
        return decoder(base64.b64decode(text.encode("ascii"), validate=True))
    except (decode.ImageError, binascii.Error, struct.error, UnicodeEncodeError, ValueError) as e:
        return {"Error": str(e), "Base64": text}


def decode_images(document):
    """A copy of a posted document with its sale and punch images decoded."""
    if not isinstance(document, dict):
        return document
    result = dict(document)
    sales = result.get("SalesDataJSON")
    if isinstance(sales, list):
        result["SalesDataJSON"] = [
            dict(sale, SalesData=_image(sale["SalesData"], decode.decode_sale))
            if isinstance(sale, dict) and isinstance(sale.get("SalesData"), str) else sale
            for sale in sales]
    labor = result.get("LaborData")
    if isinstance(labor, list):
        result["LaborData"] = [
            dict(record, Punches=[_image(p, decode.decode_punch) if isinstance(p, str) else p
                                  for p in record["Punches"]])
            if isinstance(record, dict) and isinstance(record.get("Punches"), list) else record
            for record in labor]
    return result


def readable(document):
    """The decoded, date-annotated form of one document."""
    return with_dates(decode_images(document))


def parse_document(text):
    return json.loads(text)


def documents_of_log(text, keep_text=False):
    """The documents of a daily log: one entry per "Sending: " line, with the
    log line's number and time stamp and the server's answer that followed;
    with keep_text, also the text as sent ("Sent")."""
    entries = []
    for number, line in enumerate(text.splitlines(), start=1):
        if SENDING in line:
            stamp, _, payload = line.partition(SENDING)
            entry = {"Line": number, "Logged": stamp.strip()}
            if keep_text:
                entry["Sent"] = payload
            try:
                entry["Document"] = readable(parse_document(payload))
            except ValueError as e:
                entry["Error"] = "unreadable document: %s" % e
                entry["Text"] = payload
            entries.append(entry)
        elif RESPONSE in line and entries and "Response" not in entries[-1]:
            payload = line.partition(RESPONSE)[2]
            try:
                entries[-1]["Response"] = with_dates(json.loads(payload))
            except ValueError:
                entries[-1]["Response"] = payload
    return entries


def decode_text(text):
    """A whole document, or the list of a log's documents when text is not one
    JSON document."""
    stripped = text.strip()
    if stripped.startswith("{"):
        try:
            return readable(parse_document(stripped))
        except ValueError:
            pass
    return documents_of_log(text)


def read_text(name):
    if name == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(name, "rb") as f:
            data = f.read()
    # The collector writes its log and posts in the Windows-1252 code page.
    return data.decode("cp1252", errors="replace")


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        sys.stderr.write(__doc__)
        return 2
    status = 0
    for name in argv[1:]:
        try:
            result = decode_text(read_text(name))
        except OSError as e:
            sys.stderr.write("dc_decode: %s: %s\n" % (name, e.strerror or e))
            status = 1
            continue
        if isinstance(result, list) and not result:
            sys.stderr.write("dc_decode: %s: neither a document nor a log with \"Sending: \" lines\n"
                             % name)
            status = 1
            continue
        json.dump(result, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
