#!/usr/bin/python3
"""The API checker (tools/api/check_messages.py) must refuse what the daemon
must never send, not only pass what it sends. Exit 77 (skipped) without
Debian's python3-jsonschema and python3-yaml."""
import collections
import json
import os
import sys
import tempfile

try:
    import jsonschema  # noqa: F401
    import yaml  # noqa: F401
except ImportError:
    print("python3-jsonschema or python3-yaml missing (SETUP_API=1 scripts/setup.sh)")
    sys.exit(77)

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
CHECKER = os.path.join(ROOT, "tools", "api", "check_messages.py")
RESP = "dt/app_to_ui/resp"
STATE = "dt/app_to_ui/state"
RELAYS_OFF = ",".join(f'"DO{n}":0' for n in range(12))
ONLINE = '{"ONLINE":1,"LINK":"up","ECU":%s,"CONFIG":"ok","BUSY":%s,"RELAYS":{%s}}'
ECU = '{"ADDR":"7E8","PROTO":"ISO15765-4 (11-bit)","VIN":"ZZZDEM0PETR0L0001"}'
LIVE = '{\n  "TYP": 1,\n  "CMD": 2,\n  "DATA": {\n    %s\n  }\n}'

GOOD = [
    '{"TYP":1,"CMD":1,"ERROR":1,"DATA":{"msg":"NORES"}}',
    '{"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":["U0100"],"PRMDTC":[]}}',
    LIVE % '"ENGRPM": 16383.75,\n    "SPD": "--"',
    LIVE % '"EVPPRS": -8192.00',
    '{"TYP":1,"CMD":1,"ERROR":0,"ID":"a1","DATA":{"msg":"ACK"}}',
    '{"TYP":1,"CMD":1,"ID":"a1","DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}}',
    '{"TYP":1,"CMD":4,"ERROR":1,"ID":"x","DATA":{"msg":"NORES"}}',
    '{"TYP":1,"CMD":99,"ERROR":1,"ID":"a.b_c:d-E","DATA":{"msg":"NAK","why":"unknown command"}}',
    '{"TYP":1,"CMD":2,"ERROR":0,"ID":"l1","DATA":{"msg":"DONE"}}',
    (STATE, ONLINE % (ECU, 0, RELAYS_OFF)),
    (STATE, ONLINE % ("null", 10, RELAYS_OFF)),
    (STATE, '{"ONLINE":0}'),
]
BAD = {
    "status word with the wrong CMD": '{"TYP":1,"CMD":1,"ERROR":1,"DATA":{"msg":"DTC_CLEARED"}}',
    "status word with the wrong error flag": '{"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"NOECU"}}',
    "unknown status word": '{"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"HELLO"}}',
    "trouble-code list missing": '{"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[]}}',
    "chassis code": '{"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":["C0035"],"PRMDTC":[]}}',
    "unknown sensor key": LIVE % '"ENGRPM": 850.00,\n    "FOO": 1.00',
    "value above the catalogue's range": LIVE % '"ENGLD": 100.01',
    "no sensor answered": LIVE % '"ENGRPM": "--"',
    "not JSON": '{"TYP":1,',
    "ACK without an ID": '{"TYP":1,"CMD":1,"ERROR":0,"DATA":{"msg":"ACK"}}',
    "ID with a blank": '{"TYP":1,"CMD":1,"ERROR":0,"ID":"a 1","DATA":{"msg":"ACK"}}',
    "ID of 37 characters": '{"TYP":1,"CMD":1,"ERROR":0,"ID":"%s","DATA":{"msg":"ACK"}}' % ("a" * 37),
    "NAK without a reason": '{"TYP":1,"CMD":1,"ERROR":1,"ID":"a1","DATA":{"msg":"NAK"}}',
    "NAK for no reason of ours": '{"TYP":1,"CMD":1,"ERROR":1,"ID":"a1","DATA":{"msg":"NAK","why":"tired"}}',
    "DONE with error flag 2": '{"TYP":1,"CMD":1,"ERROR":2,"ID":"a1","DATA":{"msg":"DONE"}}',
    "session word with an ID": '{"TYP":1,"CMD":0,"ERROR":0,"ID":"a1","DATA":{"msg":"SAVSUC"}}',
    "state with a relay too many": (STATE, ONLINE % (ECU, 0, RELAYS_OFF + ',"DO12":0')),
    "state with a relay missing": (STATE, ONLINE % (ECU, 0, RELAYS_OFF.replace(',"DO11":0', ""))),
    "state without the VIN": (STATE, ONLINE % (ECU.replace(',"VIN":"ZZZDEM0PETR0L0001"', ""), 0, RELAYS_OFF)),
    "state busy with CMD 3": (STATE, ONLINE % ("null", 3, RELAYS_OFF)),
    "offline with more to say": (STATE, '{"ONLINE":0,"LINK":"down"}'),
    "a document on the state topic": (STATE, '{"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"ECU"}}'),
}


sys.path.insert(0, os.path.join(ROOT, "tools", "api"))
import check_messages  # noqa: E402

CHANNELS = check_messages.load_channels(check_messages.DOCUMENT)


def problems(payloads):
    """What the checker finds wrong with a recording of these responses."""
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
        for item in payloads:
            topic, text = item if isinstance(item, tuple) else (RESP, item)
            f.write(json.dumps({"topic": topic, "payload": text}) + "\n")
    try:
        return check_messages.check_recording(f.name, CHANNELS, collections.Counter())
    finally:
        os.unlink(f.name)


def main():
    failures = []
    found = problems(GOOD)
    if found:
        failures.append("good messages refused:\n" + "\n".join(found))
    for what, text in BAD.items():
        if not problems(GOOD + [text]):
            failures.append(f"{what} passed: {text!r}")
    for failure in failures:
        print(failure)
    print(f"{len(BAD) + 1 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
