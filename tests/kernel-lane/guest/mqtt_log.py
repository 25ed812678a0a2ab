#!/usr/bin/python3
"""Waits for and checks the daemon's answers in a capture written by
    mosquitto_sub -t dt/app_to_ui/resp -F %j
(one JSON line per message, payload escaped). Messages are numbered from 0 in
arrival order; every waiting command takes the number to start from and, on
success, prints the number after the message it matched, so that a scenario
can check one step after the other.

  count LOG
  status LOG FROM TIMEOUT [--consecutive] EXPECTED...   EXPECTED: WORD or CMD:WORD
  dtc LOG FROM TIMEOUT EXPECTED_TEXT
  document LOG FROM TIMEOUT CMD EXPECTED_TEXT       the next result document of CMD
  live LOG FROM TIMEOUT KEY[=V1|V2|...]...          V: value with two decimals or --
  absent LOG FROM CMD                               no result document of CMD
"""
import json
import re
import sys
import time

RESPONSE_TOPIC = "dt/app_to_ui/resp"

# Status word -> error flag it must carry.
ERROR_FLAG = {
    "WRNGCFG": 1, "NOECU": 1, "MODEDETECTED": 0, "GOTINFO": 0, "GOTPID": 0,
    "SAVSUC": 0, "ECU": 0, "GOTECU": 0, "COMER": 1, "NORES": 1, "DTC_CLEARED": 0,
}


class CheckFailed(Exception):
    pass


def responses(log_path):
    """Payload texts of the response topic, in arrival order."""
    texts = []
    try:
        with open(log_path, encoding="utf-8", errors="replace") as log:
            for line in log:
                if not line.endswith("\n"):
                    break  # still being written
                try:
                    record = json.loads(line)
                except ValueError:
                    continue
                if record.get("topic") == RESPONSE_TOPIC:
                    texts.append(record.get("payload", ""))
    except FileNotFoundError:
        pass
    return texts


def parse(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


def status_word(text):
    doc = parse(text)
    if isinstance(doc, dict) and isinstance(doc.get("DATA"), dict) and "msg" in doc["DATA"]:
        return doc["DATA"]["msg"]
    return None


def expected_status_text(cmd, word):
    return '{"TYP":1,"CMD":%d,"ERROR":%d,"DATA":{"msg":"%s"}}' % (cmd, ERROR_FLAG[word], word)


def describe(texts, start):
    shown = []
    for i in range(start, len(texts)):
        word = status_word(texts[i])
        shown.append(f"#{i} {word}" if word else f"#{i} {texts[i][:90]!r}")
    return "; ".join(shown[-40:]) or "nothing"


def wait(log_path, start, timeout_s, matcher):
    """Calls matcher(texts, start) until it returns an index; raises on timeout."""
    deadline = time.monotonic() + timeout_s
    while True:
        texts = responses(log_path)
        found = matcher(texts, start)
        if found is not None:
            return found
        if time.monotonic() >= deadline:
            raise CheckFailed(f"timed out after {timeout_s:g} s; messages since #{start}: "
                              + describe(texts, start))
        time.sleep(0.2)


def parse_expected(item):
    cmd, _, word = item.rpartition(":")
    word_cmd = int(cmd) if cmd else 0
    if word not in ERROR_FLAG:
        raise CheckFailed(f"unknown status word {word}")
    return word_cmd, word


def match_status(expected, consecutive):
    def matcher(texts, start):
        wanted = 0
        last_matched = None
        for i in range(start, len(texts)):
            word = status_word(texts[i])
            if word is None:
                continue
            cmd, want = expected[wanted]
            if word == want:
                if texts[i] != expected_status_text(cmd, want):
                    raise CheckFailed(f"#{i}: {texts[i]} is not {expected_status_text(cmd, want)}")
                wanted += 1
                last_matched = i
                if wanted == len(expected):
                    return i + 1
            elif consecutive and last_matched is not None:
                raise CheckFailed(f"#{i}: {word} came between {expected[wanted - 1][1]} and {want}")
        return None
    return matcher


def is_result_document(text, cmd):
    doc = parse(text)
    return (isinstance(doc, dict) and doc.get("TYP") == 1 and doc.get("CMD") == cmd
            and isinstance(doc.get("DATA"), dict) and "msg" not in doc["DATA"])


def first_document(cmd):
    def matcher(texts, start):
        for i in range(start, len(texts)):
            if is_result_document(texts[i], cmd):
                return i
        return None
    return matcher


LIVE_HEADER = ["{", '  "TYP": 1,', '  "CMD": 2,', '  "DATA": {']
LIVE_LINE = re.compile(r'^    "([^"]+)": (-?\d+\.\d\d|"--")(,?)$')


def check_live(text, expected):
    lines = text.split("\n")
    if lines[:4] != LIVE_HEADER or lines[-2:] != ["  }", "}"]:
        raise CheckFailed(f"live message layout wrong: {text!r}")
    body = lines[4:-2]
    if len(body) != len(expected):
        raise CheckFailed(f"live message has {len(body)} values, want {len(expected)}: {text!r}")
    for n, (line, item) in enumerate(zip(body, expected)):
        match = LIVE_LINE.match(line)
        if not match:
            raise CheckFailed(f"live line {line!r} malformed")
        key, value, comma = match.groups()
        value = value.strip('"')
        want_key, _, allowed = item.partition("=")
        if key != want_key:
            raise CheckFailed(f"live line {n}: key {key}, want {want_key}")
        if (comma == ",") != (n < len(expected) - 1):
            raise CheckFailed(f"live line {line!r}: separator wrong")
        if allowed and value not in allowed.split("|"):
            raise CheckFailed(f"live {key} = {value}, want one of {allowed}")


def main(argv):
    command, log_path = argv[1], argv[2]
    if command == "count":
        print(len(responses(log_path)))
        return 0
    start = int(argv[3])
    if command == "absent":
        cmd = int(argv[4])
        texts = responses(log_path)
        found = first_document(cmd)(texts, start)
        if found is not None:
            raise CheckFailed(f"#{found}: unexpected CMD {cmd} document {texts[found]!r}")
        return 0
    timeout_s = float(argv[4])
    args = argv[5:]
    if command == "status":
        consecutive = "--consecutive" in args
        expected = [parse_expected(a) for a in args if a != "--consecutive"]
        print(wait(log_path, start, timeout_s, match_status(expected, consecutive)))
    elif command == "dtc":
        found = wait(log_path, start, timeout_s, first_document(1))
        text = responses(log_path)[found]
        if text != args[0]:
            raise CheckFailed(f"#{found}: trouble codes {text}, want {args[0]}")
        print(found + 1)
    elif command == "document":
        cmd = int(args[0])
        found = wait(log_path, start, timeout_s, first_document(cmd))
        text = responses(log_path)[found]
        if text != args[1]:
            raise CheckFailed(f"#{found}: CMD {cmd} document {text}, want {args[1]}")
        print(found + 1)
    elif command == "live":
        found = wait(log_path, start, timeout_s, first_document(2))
        check_live(responses(log_path)[found], args)
        print(found + 1)
    else:
        raise CheckFailed(f"unknown command {command}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except CheckFailed as failure:
        print(f"mqtt_log: {failure}", file=sys.stderr)
        sys.exit(1)
