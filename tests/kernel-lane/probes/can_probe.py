#!/usr/bin/python3
"""Checks the kernel CAN stack between two interfaces on one bus (or on one
interface): a raw frame from a PF_CAN socket on the first reaches one on the
second through the kernel's filters, and a 20-byte ISO-TP message crosses
from the second to the first between two CAN_ISOTP sockets (first frame,
flow control, consecutive frames) with 11-bit and with 29-bit identifiers.
    can_probe.py IFACE [PEER]   (PEER defaults to IFACE)"""
import socket
import struct
import sys

CAN_FRAME = struct.Struct("=IB3x8s")
TIMEOUT_S = 10.0


def raw_socket(iface, can_id, mask):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", can_id, mask))
    s.settimeout(TIMEOUT_S)
    s.bind((iface,))
    return s


def check_raw(iface, peer):
    listener = raw_socket(peer, 0x7E8, 0x7FF)
    sender = raw_socket(iface, 0, 0xFFFFFFFF)  # receives nothing it does not ask for
    payload = bytes([0x02, 0x01, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55])
    sender.send(CAN_FRAME.pack(0x7DF, 8, payload))  # filtered out by the listener
    sender.send(CAN_FRAME.pack(0x7E8, 8, payload))
    can_id, dlc, data = CAN_FRAME.unpack(listener.recv(CAN_FRAME.size))
    if (can_id, dlc, data) != (0x7E8, 8, payload):
        raise AssertionError(f"raw: got id {can_id:#x} dlc {dlc} data {data.hex()}")
    print(f"raw: frame 0x7e8 {data.hex()} from {iface} received on {peer} through a 0x7e8 filter")


def isotp_socket(iface, rx_id, tx_id):
    s = socket.socket(socket.AF_CAN, socket.SOCK_DGRAM, socket.CAN_ISOTP)
    s.settimeout(TIMEOUT_S)
    s.bind((iface, rx_id, tx_id))
    return s


def check_isotp(iface, peer, tester_rx, tester_tx, label):
    tester = isotp_socket(iface, tester_rx, tester_tx)
    ecu = isotp_socket(peer, tester_tx, tester_rx)
    message = bytes([0x49, 0x02, 0x01]) + b"1HGCM82633A004352"
    ecu.send(message)
    received = tester.recv(4096)
    if received != message:
        raise AssertionError(f"isotp {label}: got {received.hex()}, want {message.hex()}")
    print(f"isotp {label}: {len(message)}-byte message crossed with flow control")


def main():
    iface = sys.argv[1] if len(sys.argv) > 1 else "can0"
    peer = sys.argv[2] if len(sys.argv) > 2 else iface
    check_raw(iface, peer)
    check_isotp(iface, peer, 0x7E8, 0x7E0, "11-bit")
    eff = socket.CAN_EFF_FLAG
    check_isotp(iface, peer, 0x18DAF110 | eff, 0x18DA10F1 | eff, "29-bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
