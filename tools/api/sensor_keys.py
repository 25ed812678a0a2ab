#!/usr/bin/python3
"""Writes the live sensors' short keys, with their units and value ranges,
from the PID catalogue (src/obd2/pid_catalogue.cpp) into the two places that
show them: the sensor-value schema of doc/asyncapi.yaml and the key table of
README.md, each between its marker lines.

  tools/api/sensor_keys.py           rewrite both blocks
  tools/api/sensor_keys.py --check   fail when either is out of date

The ranges are the catalogue's min and max as single-precision floats,
printed with two decimals as live data prints its values, so a value the
daemon clamps to a row's range is never outside the schema's.
"""
import os
import re
import struct
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
CATALOGUE = os.path.join(ROOT, "src", "obd2", "pid_catalogue.cpp")
DOCUMENT = os.path.join(ROOT, "doc", "asyncapi.yaml")
README = os.path.join(ROOT, "README.md")

ROW = re.compile(r'^\s*\{(0x[0-9A-Fa-f]{2}),\s*"([a-z0-9_]+)",\s*(8|16),\s*([^,]+),\s*([^,]+),'
                 r'\s*([^,]+),\s*([^,]+),\s*"([^"]*)"(?:,\s*true)?\},\s*$')
FLOAT = re.compile(r'^(-?\d+(?:\.\d+)?)f$')


def float32_text(literal):
    match = FLOAT.match(literal.strip())
    if not match:
        raise SystemExit(f"sensor_keys: min/max {literal!r} is not a plain float literal")
    value = struct.unpack("f", struct.pack("f", float(match.group(1))))[0]
    return "%.2f" % value


def catalogue():
    text = open(CATALOGUE, encoding="utf-8").read()
    table = text[text.index("pids = {{"):text.index("}};")]
    rows = []
    for line in table.splitlines():
        match = ROW.match(line)
        if match:
            pid, name, _bits, _scale, _offset, lo, hi, unit = match.groups()
            rows.append({"pid": int(pid, 16), "name": name, "min": float32_text(lo),
                         "max": float32_text(hi), "unit": unit})
    keys_text = text[text.index("short_keys = {"):]
    keys_text = keys_text[:keys_text.index("};")]
    keys = re.findall(r'"([A-Z0-9]+)"', keys_text)
    if len(rows) != len(keys) or not rows:
        raise SystemExit(f"sensor_keys: {len(rows)} catalogue rows but {len(keys)} short keys")
    for row, key in zip(rows, keys):
        row["key"] = key
    return rows


def schema_block(rows):
    out = []
    for r in rows:
        out += [f"        {r['key']}:",
                f"          description: {r['name']}, PID 0x{r['pid']:02X}, in {r['unit']}",
                "          oneOf:",
                "            - type: number",
                f"              minimum: {r['min']}",
                f"              maximum: {r['max']}",
                "            - const: '--'"]
    return out


def readme_block(rows):
    out = ["| Key | PID | Quantity | Unit | Range (as printed) |", "|---|---|---|---|---|"]
    for r in rows:
        out.append(f"| `{r['key']}` | 0x{r['pid']:02X} | {r['name']} | {r['unit']} | {r['min']} to {r['max']} |")
    return out


def replace_block(path, begin, end, lines):
    text = open(path, encoding="utf-8").read()
    head, sep, rest = text.partition(begin)
    if not sep:
        raise SystemExit(f"sensor_keys: no line {begin!r} in {path}")
    head_line_end = rest.index("\n") + 1
    _, sep2, tail = rest[head_line_end:].partition(end)
    if not sep2:
        raise SystemExit(f"sensor_keys: no line {end!r} in {path}")
    indent = head[head.rfind("\n") + 1:]
    tail_start = tail
    new = head + begin + rest[:head_line_end] + "\n".join(lines) + "\n" + indent + end + tail_start
    return text, new


def main(argv):
    check = "--check" in argv[1:]
    rows = catalogue()
    stale = []
    for path, begin, end, lines in (
            (DOCUMENT, "# >>> sensor keys", "# <<< sensor keys", schema_block(rows)),
            (README, "<!-- >>> sensor keys", "<!-- <<< sensor keys", readme_block(rows))):
        old, new = replace_block(path, begin, end, lines)
        if old == new:
            continue
        if check:
            stale.append(os.path.relpath(path, ROOT))
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(new)
            print(f"sensor_keys: wrote {len(rows)} keys into {os.path.relpath(path, ROOT)}")
    if stale:
        print("sensor_keys: out of date with src/obd2/pid_catalogue.cpp (run tools/api/sensor_keys.py): "
              + ", ".join(stale))
        return 1
    if check:
        print(f"sensor_keys: {len(rows)} keys, doc/asyncapi.yaml and README.md up to date")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
