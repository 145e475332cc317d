#!/usr/bin/env python3
"""A short account of what a collector posted, read from its daily logs.

    summary.py LOG_FILE_OR_FOLDER [--decoded FOLDER] [--documents FOLDER]

The logs must have been written with "LogComm" on. For every document sent
(Authorize and Post) it prints the data windows, the numbers of sales, facts,
punches, employees and other records, and the server's answer. With
--documents / --decoded it writes each document as sent and in decoded form
(see dc_decode.py), one file per document, numbered in sending order.

Exit status 0 when at least one post was sent and the server accepted every
post (an answer with no "Resend", "Reinitialize" or "Error"), 1 otherwise.
"""

import argparse
import glob
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dc_decode  # noqa: E402


def log_files(names):
    files = []
    for name in names:
        if os.path.isdir(name):
            files += sorted(glob.glob(os.path.join(name, "*.LOG")))
        else:
            files.append(name)
    return files


def date_of(section, member):
    value = section.get(member)
    text = dc_decode.day_count_text(value)
    return text if text is not None else "-"


def window(section, start, end):
    if not dc_decode.day_count_text(section.get(end)):
        return "none"
    return "%s through %s" % (date_of(section, start), date_of(section, end))


def counts(doc):
    sales = doc.get("SalesDataJSON") or []
    facts = 0
    for sale in sales:
        image = sale.get("SalesData") if isinstance(sale, dict) else None
        if isinstance(image, dict):
            for pc in (image.get("ProfitCenters") or {}).values():
                facts += len(pc.get("Facts") or {})
    labor = doc.get("LaborData") or []
    punches = sum(len(r.get("Punches") or []) for r in labor if isinstance(r, dict))
    reference = doc.get("ReferenceData") or {}
    others = {
        "roles": len(reference.get("Roles") or []),
        "terminals": len(reference.get("Terminals") or []),
        "services": len(reference.get("Services") or []),
        "plans": len(reference.get("Plans") or []),
        "categories": len(doc.get("EmployeeCategories") or []),
        "deleted sales": len(doc.get("DeletedSales") or []),
        "labor records": len(labor),
    }
    return len(sales), facts, punches, len(reference.get("Employees") or []), others


def accepted(response):
    return isinstance(response, dict) and not any(k in response for k in ("Resend", "Reinitialize", "Error"))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("logs", nargs="+")
    parser.add_argument("--decoded")
    parser.add_argument("--documents")
    args = parser.parse_args(argv[1:])

    entries = []
    for name in log_files(args.logs):
        entries += dc_decode.documents_of_log(dc_decode.read_text(name), keep_text=True)
    posts = 0
    refused = 0
    for number, entry in enumerate(entries, start=1):
        doc = entry.get("Document")
        if args.decoded and doc is not None:
            os.makedirs(args.decoded, exist_ok=True)
            with open(os.path.join(args.decoded, "%04d.json" % number), "w", encoding="utf-8") as f:
                json.dump(doc, f, indent=2, ensure_ascii=False)
        if args.documents and "Sent" in entry:
            os.makedirs(args.documents, exist_ok=True)
            with open(os.path.join(args.documents, "%04d.json" % number), "w", encoding="utf-8") as f:
                f.write(entry["Sent"])
        response = entry.get("Response")
        answer = json.dumps(response, separators=(",", ":")) if response is not None else "(no answer)"
        if doc is None:
            print("#%d %s  unreadable document" % (number, entry.get("Logged", "")))
            continue
        command = doc.get("Command", "?")
        if command != "Post":
            print("#%d %s  %s  answer %s" % (number, entry.get("Logged", ""), command, answer))
            continue
        posts += 1
        ok = accepted(response)
        if not ok:
            refused += 1
        contents = doc.get("Contents") or {}
        sales, facts, punches, employees, others = counts(doc)
        print("#%d %s  Post  current %s, history %s%s" % (
            number, entry.get("Logged", ""), window(contents, "ContentsStart", "ContentsEnd"),
            window(contents, "HistoryStart", "HistoryEnd"),
            ", history skipped" if contents.get("SkipHistory") in (1, "1") else ""))
        print("      %d sales, %d facts, %d punches, %d employees; %s" % (
            sales, facts, punches, employees,
            ", ".join("%d %s" % (n, what) for what, n in others.items())))
        print("      answer %s: %s" % (answer, "accepted" if ok else "NOT ACCEPTED"))
    print("%d posts, %d accepted" % (posts, posts - refused))
    return 0 if posts > 0 and refused == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
