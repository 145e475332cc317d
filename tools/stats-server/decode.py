#!/usr/bin/env python3
"""Decodes the binary images of a posted collector document into readable JSON.

A sale travels as {"SalesData": "<Base64>"}, a punch as one Base64 text in the
"Punches" array of a labor record. decode_document() returns a copy of a posted
document with every such image replaced by its fields. As a program it reads a
posted document (a file name, or standard input) and prints the decoded copy.

Standard library only, so that support tools can import it.
"""

import base64
import copy
import json
import struct
import sys

# Slot k of a profit-center map stands for TRACKED_PROFIT_CENTERS[k]; slot j of
# a fact map for TRACKED_FACT_IDS[j].
TRACKED_PROFIT_CENTERS = [0, 1, 2, 5, 6, 10, 20]
TRACKED_FACT_IDS = [54181, 54200, 54728, 54187, 54184, 54201, 54711, 54715,
                    54741, 54743, 54742, 54739]

SALE_HEADER = struct.Struct("<HHidd B i h")
PUNCH = struct.Struct("<dihihidd")


class ImageError(ValueError):
    pass


def _bits(value, width):
    return [k for k in range(width) if value & (1 << k)]


def _slot_name(table, slot):
    return str(table[slot]) if slot < len(table) else "slot%d" % slot


def decode_sale(image):
    """The fields of one sale image (bytes)."""
    if len(image) < SALE_HEADER.size:
        raise ImageError("sale image of %d bytes is shorter than its header" % len(image))
    roles_map, pc_map, sale_id, paid, created, shift, terminal, status = \
        SALE_HEADER.unpack_from(image, 0)
    offset = SALE_HEADER.size
    employees = {}
    for k in _bits(roles_map, 16):
        (employees[_slot_name(TRACKED_PROFIT_CENTERS, k)],) = struct.unpack_from("<i", image, offset)
        offset += 4
    profit_centers = {}
    for k in _bits(pc_map, 16):
        (fact_map,) = struct.unpack_from("<i", image, offset)
        offset += 4
        facts = {}
        for j in _bits(fact_map & 0xFFFFFFFF, 32):
            (facts[_slot_name(TRACKED_FACT_IDS, j)],) = struct.unpack_from("<d", image, offset)
            offset += 8
        profit_centers[_slot_name(TRACKED_PROFIT_CENTERS, k)] = {"FactMap": fact_map, "Facts": facts}
    if offset != len(image):
        raise ImageError("sale image has %d bytes left over" % (len(image) - offset))
    return {"ActiveRolesMap": roles_map, "ActivePCMap": pc_map, "SaleID": sale_id,
            "PaidTime": paid, "CreatedTime": created, "Shift": shift, "Terminal": terminal,
            "Status": status, "Employees": employees, "ProfitCenters": profit_centers,
            "Size": len(image)}


def decode_punch(image):
    """The fields of one 40-byte punch image (bytes)."""
    if len(image) != PUNCH.size:
        raise ImageError("punch image of %d bytes, expected %d" % (len(image), PUNCH.size))
    date, role, in_time, actual_in, out_time, actual_out, rate, multiplier = PUNCH.unpack(image)
    return {"PunchDate": date, "Role": role, "InTime": in_time, "ActualInTime": actual_in,
            "OutTime": out_time, "ActualOutTime": actual_out, "Rate": rate,
            "Multiplier": multiplier}


def _b64(text):
    return base64.b64decode(text.encode("ascii"), validate=True)


def decode_document(document):
    """A copy of a posted document with its sale and punch images decoded."""
    result = copy.deepcopy(document)
    if not isinstance(result, dict):
        return result
    for sale in result.get("SalesDataJSON", []) or []:
        if isinstance(sale, dict) and isinstance(sale.get("SalesData"), str):
            sale["SalesData"] = decode_sale(_b64(sale["SalesData"]))
    for labor in result.get("LaborData", []) or []:
        if isinstance(labor, dict) and isinstance(labor.get("Punches"), list):
            labor["Punches"] = [decode_punch(_b64(p)) for p in labor["Punches"]]
    return result


def main(argv):
    if len(argv) > 1:
        with open(argv[1], "rb") as f:
            data = f.read()
    else:
        data = sys.stdin.buffer.read()
    document = json.loads(data.decode("cp1252", errors="replace"))
    json.dump(decode_document(document), sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv)
