#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/.

The seeds are the frames and documents of the unit tests, in each target's
input layout (see the comment at the top of each fuzz_<target>.cpp). Run it
again after changing a layout; inputs the fuzzers found and that are kept as
regression cases live beside the seeds and are not touched.
"""
import json
import pathlib
import re

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent

# Choice bytes of fuzz_frame (index into FUZZ_FRAME_IDS).
ID_7E8, ID_7E9, ID_7E0, ID_7DF, ID_29, ID_29_OTHER = 0, 3, 5, 6, 8, 10


def frame(choice, *data):
    data = list(data) + [0xAA] * (8 - len(data))
    return bytes([choice, 8] + data[:8])


def vin_frames(choice):
    return (frame(choice, 0x10, 0x13, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C)
            + frame(choice, 0x21, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37)
            + frame(choice, 0x22, 0x38, 0x39, 0x41, 0x42, 0x43, 0x44, 0x45))


PID00_ANSWER = frame(ID_7E8, 0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00)
NEGATIVE = frame(ID_7E8, 0x03, 0x7F, 0x01, 0x31)


def isotp_step():
    return {
        "single": b"\x00" + PID00_ANSWER,
        "vin_11bit": b"\x00" + vin_frames(ID_7E8),
        "vin_29bit": b"\x01" + vin_frames(ID_29),
        "negative": b"\x00" + NEGATIVE,
        "other_ecu_in_the_middle": b"\x00" + vin_frames(ID_7E8)[:20] + frame(ID_7E9, 0x21, 1, 2, 3, 4, 5, 6, 7)
        + vin_frames(ID_7E8)[20:],
        "bad_sequence": b"\x00" + vin_frames(ID_7E8)[:10] + frame(ID_7E8, 0x22, 1, 2, 3, 4, 5, 6, 7),
    }


def isotp_exchange():
    def frames(raw):  # a record-size byte (0: a whole frame) before each frame
        return b"".join(b"\x00" + raw[i:i + 10] for i in range(0, len(raw), 10))
    return {
        "pid00": bytes([0x00, 0x01, 0x00, 0]) + frames(PID00_ANSWER),
        "pid00_after_late_answers": bytes([0x00, 0x01, 0x00, 3]) + frames(PID00_ANSWER),
        "vin_11bit": bytes([0x02, 0x09, 0x02, 1]) + frames(vin_frames(ID_7E8)),
        "vin_29bit": bytes([0x03, 0x09, 0x02, 0]) + frames(vin_frames(ID_29)),
        "negative": bytes([0x00, 0x01, 0x00, 0]) + frames(NEGATIVE),
        "foreign_then_answer": bytes([0x00, 0x01, 0x00, 0]) + frames(
            frame(ID_7DF, 0x02, 0x01, 0x00) + frame(ID_7E0, 0x06, 0x41, 0x00) + PID00_ANSWER),
        "odd_record": bytes([0x00, 0x01, 0x00, 0, 0x07]) + PID00_ANSWER + frames(PID00_ANSWER),
    }


def command_text():
    return {name: text.encode() for name, text in {
        "dtc": '{"TYP":1,"CMD":1}',
        "live": '{"TYP":1,"CMD":2}',
        "clear": '{"TYP":1, "CMD" : 4}',
        "reload": '{"TYP":1,"CMD":10}',
        "idle": '{"typ":1,"CMD":-3}',
        "relays": '{"TYP":2,"DATA":{"params":{"DO":{"DO0":1,"DO5":0}}}}',
        "relays_odd": '{"TYP":2,"DATA":{"params":{"do":{"do11":0.5,"DO3":-1,"DO7":"1"}}}}',
        "unknown_type": '{"TYP":3,"CMD":1}',
    }.items()}


def config_json():
    return {
        "shipped": (ROOT / "configs/config.json").read_bytes(),
        "default": (ROOT / "configs/default_config/default_config.json").read_bytes(),
        "small": b'{"can_port":{"padding":170,"BR":500000},"show_dtc":{"STRDTC":1,"PNDDTC":0,"PRMDTC":1}}',
        "sensors": b'{"live_page":{"sensors":[{"name":"ENGRPM","show":1},{"name":"SPD","show":1.7},'
                   b'{"name":"COLTMP","show":"1"},{"show":1}]}}',
        "broken": b'{ "can_port": { "BR": 500000 ',
    }


def short_keys():
    text = (ROOT / "src/obd2/pid_catalogue.cpp").read_text()
    block = text[text.index("short_keys = {"):]
    return re.findall(r'"([A-Z0-9]+)"', block[:block.index("};")])


def ecu_info_file(vid, cid, cvn, name, proto, bitrate, supported):
    info = {"VID": vid, "CID": cid, "CVN": cvn, "ECUNM": name, "PROTO": proto, "BR": bitrate}
    lines = ["{", "\t\"ECU_INFO\":\t{"]
    lines += [f"\t\t\"{k}\":\t{json.dumps(v)}," for k, v in info.items()]
    lines[-1] = lines[-1].rstrip(",")
    lines += ["\t},", "\t\"LIVE_PIDS\":\t{"]
    keys = short_keys()
    lines += [f"\t\t\"{k}\":\t{1 if i in supported else 0}," for i, k in enumerate(keys)]
    lines[-1] = lines[-1].rstrip(",")
    lines += ["\t}", "}"]
    return "\n".join(lines).encode()


def ecu_info():
    def record(type_choice, text):
        return bytes([type_choice, len(text)]) + text
    petrol = [record(0, b"ZZZDEM0PETR0L0001"), record(1, b"DEMOCAL-0001"), record(2, b"0A0B0C0D"),
              record(3, b"ECM-EngineControl")]
    saved = ecu_info_file("ZZZDEM0PETR0L0001", "DEMOCAL-0001", "0A0B0C0D", "ECM-EngineControl",
                          "ISO15765-4 (11-bit)", 500000, {0, 1, 4, 5})
    placeholders = ecu_info_file("N/A", "N/A", "N/A", "N/A", "UNKNOWN", 0, {0, 1, 2, 3, 4})
    return {
        "same_vehicle": bytes([4]) + b"".join(petrol) + saved,
        "placeholders": bytes([4]) + b"".join(petrol) + placeholders,
        "no_records": bytes([0]) + placeholders,
        "lower_case_keys": bytes([3]) + b"".join(petrol[:3]) + b'{"ecu_info":{"vid":"ZZZDEM0PETR0L0001",'
        b'"Cid":"DEMOCAL-0001","CVN":"0A0B0C0D"}}',
        "full_field": bytes([2, 0, 128]) + b"V" * 128 + record(0, b"") + b"{}",
    }


def dtc():
    return {
        "stored_and_pending": bytes([0, 1]) + bytes([0x06, 0x43, 0x02, 0x01, 0x33, 0xC1, 0x00, 0xAA])
        + bytes([0x06, 0x47, 0x02, 0x01, 0x33, 0x01, 0x71, 0xAA]),
        "multi_frame": bytes([0, 3]) + bytes([0x17, 0x43, 0x0A] + [0x01, 0x33, 0xC1, 0x00, 0x81, 0x00,
                                                                   0x41, 0x00, 0x31, 0x00, 0x00, 0x00,
                                                                   0x01, 0x33, 0x01, 0x71, 0x02, 0x02,
                                                                   0xC0, 0x01]) + bytes([0x06, 0x47, 0x01, 0x01, 0x33]),
        "filter_json": b"\x01" + b'["P0133","U0100",7,"P0171"]\x00["P0133","P0171",null]',
        "read_one_ecu": bytes([2, 0]) + bytes([5, 0x02, 0x01, 0x33, 0xC1, 0x00])
        + bytes([5, 0x02, 0x01, 0x33, 0x01, 0x71]) + bytes([3, 0x01, 0x01, 0x33]),
        "read_three_full_ecus": bytes([2, 2]) + b"".join(
            bytes([241, 120]) + bytes(b for i in range(120) for b in (0x01 + i % 3, i)) for _ in range(9)),
    }


def vehicle_info():
    def answer(payload):
        return bytes([0, len(payload)]) + payload
    return {
        "petrol_11bit": bytes([0, 0xAA]) + answer(b"\x01ZZZDEM0PETR0L0001") + answer(b"\x01DEMOCAL-0001")
        + answer(bytes([0x01, 0xA1, 0xB2, 0xC3, 0xD4])) + answer(b"\x01ECM-EngineControl\x00\x00"),
        "29bit_fill_00": bytes([1, 0x00]) + answer(b"\x01VIN29BIT00000001") + answer(b"\x01\x01")
        + answer(b"") + answer(b"\x01ECM\xffB"),
        "wrong_type_then_quiet": bytes([0, 0x55]) + answer(b"\x01ZZZ") + bytes([2, 3]) + b"\x01AB",
    }


def physical_value():
    return {
        "rpm": bytes([0x0C, 0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x55, 0x55, 0x55]),
        "coolant": bytes([0x05, 0x03, 0x41, 0x05, 0x7B, 0xAA, 0xAA, 0xAA, 0xAA]),
        "evap_signed": bytes([0x32, 0x04, 0x41, 0x32, 0x80, 0x00, 0xAA, 0xAA, 0xAA]),
        "short": bytes([0x0C, 0x03, 0x41, 0x0C, 0x1A]),
    }


def uds_answers():
    def answer(*payload):
        return bytes([len(payload)]) + bytes(payload)
    return {
        "codes_by_status": bytes([0, 0]) + answer(0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01, 0x20, 0x03, 0x01, 0x1F, 0x08,
                                                  0x20, 0x03, 0x01, 0x00, 0x04),
        "codes_truncated": bytes([0, 0]) + answer(0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01, 0x20, 0x03, 0x01),
        "permanent": bytes([1, 0]) + answer(0x59, 0x55, 0x33, 0xFF, 0x01, 0x04, 0x20, 0x00, 0x08),
        "snapshot_list": bytes([2, 0]) + answer(0x59, 0x03, 0x01, 0x33, 0x00, 0x02, 0x04, 0x20, 0x00, 0x00),
        "snapshot": bytes([3, 0]) + answer(0x59, 0x04, 0x04, 0x20, 0x00, 0x2F, 0x00, 0x03, 0xF4, 0x0C, 0x0D, 0x48,
                                           0xF4, 0x0D, 0x32, 0xF4, 0xFE, 0x01),
        "pid_padded": bytes([5, 0x0C]) + bytes([0x05, 0x62, 0xF4, 0x0C, 0x1A, 0xF8, 0xAA, 0xAA]),
        "vin": bytes([4, 0x02]) + answer(0x62, 0xF8, 0x02, 0x01, *b"ZZZDEM0UDS0000001"),
    }


def main():
    for target, seeds in [("isotp_step", isotp_step()), ("isotp_exchange", isotp_exchange()),
                          ("command_text", command_text()), ("config_json", config_json()),
                          ("ecu_info", ecu_info()), ("dtc", dtc()), ("vehicle_info", vehicle_info()),
                          ("physical_value", physical_value()), ("uds_answers", uds_answers())]:
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, content in seeds.items():
            (folder / f"seed-{name}").write_bytes(content)


if __name__ == "__main__":
    main()
