#!/usr/bin/env python3
"""Display helpers for scripts/demo.sh.

  demo.py ui EVENTS [RECORDING]
                         reads mosquitto_sub -F '%j' lines on stdin, prints one
                         readable line per message the gateway sends to the UI,
                         and appends the compact payload to EVENTS (one line per
                         message) so the demo can wait on it, and each line as
                         it came to RECORDING (for tools/api/check_messages.py);
                         the state topic's messages go to RECORDING only
  demo.py follow LOG     follows the daemon log and prints the lines worth
                         seeing (relay switching, clearing progress)
"""
import json
import os
import re
import sys
import time
from datetime import datetime

DIM, BOLD, RED, GREEN, CYAN, YELLOW, RESET = "", "", "", "", "", "", ""
if sys.stdout.isatty() and os.environ.get("NO_COLOR") is None:
    DIM, BOLD, RED, GREEN, CYAN, YELLOW, RESET = (
        "\033[2m", "\033[1m", "\033[31m", "\033[32m", "\033[36m", "\033[33m", "\033[0m")

STATUS_MEANING = {
    "MODEDETECTED": "an ECU answered, addressing mode known",
    "GOTINFO": "vehicle information read",
    "GOTPID": "supported live PIDs known",
    "SAVSUC": "vehicle identified and recorded",
    "ECU": "heartbeat answered",
    "NOECU": "no ECU answers",
    "GOTECU": "ECU is back",
    "WRNGCFG": "config.json unusable",
    "COMER": "no ECU detected yet",
    "NORES": "the ECU did not answer",
    "DTC_CLEARED": "trouble codes cleared",
    "ACK": "command taken for work",
    "NAK": "command not worked on",
    "DONE": "command ended",
}
STATE_TOPIC = "dt/app_to_ui/state"


def describe_state(doc):
    if not doc.get("ONLINE"):
        return f"{RED}{BOLD}offline{RESET}"
    ecu = doc.get("ECU")
    vehicle = f"ECU {ecu['ADDR']} VIN {ecu['VIN'] or '-'}" if isinstance(ecu, dict) else "no vehicle"
    relays = [name for name, on in doc.get("RELAYS", {}).items() if on]
    return (f"{GREEN}online{RESET}  CAN {doc.get('LINK')}, {vehicle}, config {doc.get('CONFIG')}, "
            f"busy {doc.get('BUSY') or '-'}, relays on: {', '.join(relays) or '-'}")


def stamp():
    return datetime.now().strftime("%H:%M:%S.%f")[:-3]


def show(arrow, text):
    print(f"{DIM}{stamp()}{RESET}  {arrow}  {text}", flush=True)


def describe(doc):
    data = doc.get("DATA") if isinstance(doc, dict) else None
    if not isinstance(data, dict):
        return json.dumps(doc, separators=(",", ":"))
    if "ERROR" in doc:
        word = data.get("msg", "")
        colour = RED if doc["ERROR"] else GREEN
        meaning = STATUS_MEANING.get(word, "")
        if "why" in data:
            meaning += ": " + data["why"]
        if "ID" in doc:
            meaning += f"; ID {doc['ID']}"
        return f"status {colour}{BOLD}{word}{RESET}  {DIM}(CMD {doc.get('CMD')}; {meaning}){RESET}"
    if doc.get("CMD") == 1:
        kinds = [("STRDTC", "stored"), ("PNDDTC", "pending"), ("PRMDTC", "permanent")]
        parts = [f"{name}: {', '.join(data.get(key, [])) or '-'}" for key, name in kinds]
        return f"{YELLOW}trouble codes{RESET}  " + "  |  ".join(parts)
    if doc.get("CMD") == 20:
        monitors = data.get("MONITORS", {})
        by_state = {state: [name for name, s in monitors.items() if s == state]
                    for state in ("complete", "incomplete")}
        lamp = "on" if data.get("MIL") else "off"
        return (f"{YELLOW}readiness{RESET}  MIL {lamp}, {data.get('DTC_COUNT')} codes, "
                f"{data.get('IGNITION')}  |  complete: {', '.join(by_state['complete']) or '-'}"
                f"  |  {BOLD}incomplete{RESET}: {', '.join(by_state['incomplete']) or '-'}")
    if doc.get("CMD") == 21:
        if not data.get("DTC"):
            return f"{YELLOW}freeze frame{RESET}  none stored"
        values = [f"{k} {v:.2f}" if isinstance(v, (int, float)) else f"{k} {v}"
                  for k, v in data.get("VALUES", {}).items()]
        return f"{YELLOW}freeze frame{RESET}  {data['DTC']}:  " + "  ".join(values)
    if doc.get("CMD") == 2:
        values = [f"{k} {v:.2f}" if isinstance(v, (int, float)) else f"{k} {v}"
                  for k, v in data.items()]
        return f"{CYAN}live{RESET}  " + "  ".join(values)
    return json.dumps(doc, separators=(",", ":"))


def ui(events_path, recording_path=os.devnull):
    with open(events_path, "a", buffering=1) as events, open(recording_path, "a", buffering=1) as recording:
        for line in sys.stdin:
            try:
                message = json.loads(line)
            except ValueError:
                continue
            payload = message.get("payload", "")
            if message.get("topic") == STATE_TOPIC:
                recording.write(line if line.endswith("\n") else line + "\n")
                try:
                    show(f"{BOLD}gateway state{RESET}", describe_state(json.loads(payload)))
                except (ValueError, AttributeError, KeyError, TypeError):
                    show(f"{BOLD}gateway state{RESET}", payload)
                continue
            if message.get("topic") != "dt/app_to_ui/resp":
                events.write("probe\n")
                continue
            recording.write(line if line.endswith("\n") else line + "\n")
            try:
                doc = json.loads(payload)
                compact = json.dumps(doc, separators=(",", ":"))
            except ValueError:
                doc, compact = payload, payload.replace("\n", " ")
            events.write(compact + "\n")
            show(f"{BOLD}gateway → UI{RESET}", describe(doc))


FOLLOW = re.compile(r"^(DO_INFO : relay|SIM_GPIO : |OBD2: |DO_ERROR)")


def follow(log_path):
    while not os.path.exists(log_path):
        time.sleep(0.1)
    with open(log_path, errors="replace") as log:
        pending = ""
        relay_packet_seen = False
        while True:
            chunk = log.readline()
            if not chunk:
                time.sleep(0.05)
                continue
            pending += chunk
            if not pending.endswith("\n"):
                continue
            line, pending = pending.rstrip("\n"), ""
            # The lines set high at start-up are no news; those a packet
            # switches are.
            relay_packet_seen = relay_packet_seen or line.startswith("DO_INFO : PACKET")
            if FOLLOW.match(line) and (relay_packet_seen or not line.startswith("SIM_GPIO")):
                show(f"{DIM}gateway log{RESET} ", line)


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("ui", "follow") or \
            (sys.argv[1] == "follow" and len(sys.argv) != 3):
        print(__doc__, file=sys.stderr)
        return 2
    try:
        (ui if sys.argv[1] == "ui" else follow)(*sys.argv[2:])
    except (KeyboardInterrupt, BrokenPipeError):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
