#!/usr/bin/python3
"""Checks recorded MQTT traffic against the API document: every message
must match at least one message schema of its topic's channel.

  tools/api/check_messages.py [--document FILE] [--allow-empty] RECORDING...

A recording holds one JSON object per line with "topic" and "payload" (the
message text), as `mosquitto_sub -F %j` writes them; lines of other topics
(probes) are skipped. The examples of the document are checked against their
own schemas first, so an example that drifts from its schema fails as well.
Exit status 1 when anything does not match, or when the recordings hold no
message of the API's topics (unless --allow-empty).

Needs Debian's python3-jsonschema and python3-yaml (SETUP_API=1 scripts/setup.sh).
"""
import argparse
import collections
import copy
import json
import os
import sys

import jsonschema
import yaml

DOCUMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "doc", "asyncapi.yaml")


def resolve(node, document, seen=()):
    """`node` with every local $ref replaced by what it points to."""
    if isinstance(node, list):
        return [resolve(item, document, seen) for item in node]
    if not isinstance(node, dict):
        return node
    if "$ref" in node:
        ref = node["$ref"]
        if not ref.startswith("#/") or ref in seen:
            raise SystemExit(f"check_messages: cannot resolve {ref}")
        target = document
        for part in ref[2:].split("/"):
            target = target[part.replace("~1", "/").replace("~0", "~")]
        resolved = resolve(target, document, seen + (ref,))
        rest = {k: resolve(v, document, seen) for k, v in node.items() if k != "$ref"}
        return {"allOf": [resolved], **rest} if rest else resolved
    return {k: resolve(v, document, seen) for k, v in node.items()}


def load_channels(path):
    """{topic: {message name: (validator, examples)}}"""
    with open(path, encoding="utf-8") as f:
        document = yaml.safe_load(f)
    channels = {}
    for channel in document["channels"].values():
        messages = {}
        for name, message in channel["messages"].items():
            message = resolve(message, document)
            schema = copy.deepcopy(message["payload"])
            jsonschema.Draft7Validator.check_schema(schema)
            validator = jsonschema.Draft7Validator(schema)
            messages[name] = (validator, [e["payload"] for e in message.get("examples", [])])
        channels[channel["address"]] = messages
    return channels


def check_examples(channels):
    failures = []
    for topic, messages in channels.items():
        for name, (validator, examples) in messages.items():
            if not examples:
                failures.append(f"{topic} {name}: no example")
            for example in examples:
                for error in validator.iter_errors(example):
                    failures.append(f"{topic} {name}: example {json.dumps(example)}: {error.message}")
    return failures


def explain(messages, doc):
    """The errors of the schemas that come closest: the fewest errors."""
    ranked = sorted((len(list(v.iter_errors(doc))), name, v) for name, (v, _) in messages.items())
    lines = []
    for count, name, validator in ranked[:2]:
        best = jsonschema.exceptions.best_match(validator.iter_errors(doc))
        where = "/".join(str(p) for p in best.absolute_path) or "(top)"
        lines.append(f"    not {name}: at {where}: {best.message}")
    return lines


def check_recording(path, channels, counts):
    failures = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
                topic, text = record["topic"], record["payload"]
            except (ValueError, KeyError, TypeError):
                failures.append(f"{path}:{number}: not a recorded message: {line.strip()[:120]}")
                continue
            if topic not in channels:
                continue
            try:
                doc = json.loads(text)
            except ValueError:
                failures.append(f"{path}:{number}: {topic}: not JSON: {text[:200]!r}")
                continue
            matched = [name for name, (v, _) in channels[topic].items() if v.is_valid(doc)]
            if not matched:
                failures.append(f"{path}:{number}: {topic}: matches no message of the API: {text[:300]!r}")
                failures.extend(explain(channels[topic], doc))
                continue
            counts[matched[0]] += 1
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--document", default=os.path.normpath(DOCUMENT))
    parser.add_argument("--allow-empty", action="store_true")
    parser.add_argument("recordings", nargs="*")
    args = parser.parse_args()

    channels = load_channels(args.document)
    failures = check_examples(channels)
    counts = collections.Counter()
    for path in args.recordings:
        failures += check_recording(path, channels, counts)
    for failure in failures:
        print(failure)
    total = sum(counts.values())
    if args.recordings and total == 0 and not args.allow_empty:
        failures.append("no message")
        print("check_messages: the recordings hold no message of the API's topics")
    seen = ", ".join(f"{name} {n}" for name, n in sorted(counts.items()))
    if failures:
        print(f"check_messages: FAILED, {len(failures)} problems ({total} messages matched)")
        return 1
    if args.recordings:
        print(f"check_messages: all {total} messages of {len(args.recordings)} recordings match "
              f"{os.path.basename(args.document)} ({seen})")
    else:
        print(f"check_messages: every example of {os.path.basename(args.document)} matches its schema")
    return 0


if __name__ == "__main__":
    sys.exit(main())
