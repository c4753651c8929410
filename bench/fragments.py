#!/usr/bin/env python3
"""Makes COUNT one-byte files in FILES and, for each, a physical firmware file in FRAGS
(the fragment named after the file, type 400), written byte for byte here rather than by
COUNT runs of imgpack. Usage: fragments.py FILES FRAGS COUNT"""
import os
import sys


def crc16(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def le(value, width):
    return value.to_bytes(width, "little")


def physical(name, body):
    n = len(name)
    header = bytearray(le(40 + n, 2) + le(400, 2) + le(0, 2) + le(0, 2) + bytes([n]) + name +
                       le(len(body), 4) + le(crc16(body), 2) + le(40 + n, 4) + b"\x01\x00\x00\x00" +
                       le(1, 4) + bytes([1, 1]) + le(2010, 2) + bytes(9))
    header[21 + n:23 + n] = le(crc16(header), 2)
    return bytes(header) + body


def main():
    files, frags, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    for i in range(count):
        name = f"f{i:05d}"
        body = os.urandom(1)
        with open(os.path.join(files, name), "wb") as f:
            f.write(body)
        with open(os.path.join(frags, name + ".fw"), "wb") as f:
            f.write(physical(name.encode(), body))


if __name__ == "__main__":
    main()
