#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the worked examples of the
decoders. Run from anywhere; it writes next to itself under corpus/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def descriptor(vendor, product, revision, serial):
    """A STORAGE_DEVICE_DESCRIPTOR header (40 bytes) and its strings."""
    body = b""
    offsets = []
    for text in (vendor, product, revision, serial):
        if text is None:
            offsets.append(0)
            continue
        offsets.append(40 + len(body))
        body += text + b"\0"
    header = struct.pack("<II4BIIIIII", 1, 40 + len(body), 0, 0, 0, 0, *offsets, 0x11, 0)
    header += b"\0" * (40 - len(header))
    return header + body


serials = [
    b"  SN-ABC123  ", b"20202020534e2d41", b"534e2d414", b"4a4b4", b"3031", b"4a4B",
    b"20202020", b"   ", b"  4142  ", b" 4142", b"0041", b"4a004b00", b"1234ABCD",
    b"7e7f", b"20 41", b"\t\t41", b"41\t\t", b"Z\x01", b"\xc3\xa9t\xc3\xa9",
    b" " * 10 + b"-ABCDEFGHIJ", b"_ABCDEFGHIJKLMNOPQRS", b"-1234",
]
for i, serial in enumerate(serials):
    reply = descriptor(b"ATA", b"DISK MODEL 1", b"1.0", serial)
    write("descriptor_fuzz", "example%02d" % i, bytes([i & 1]) + struct.pack("<i", 40) + reply)
write("descriptor_fuzz", "no-serial", b"\0" + struct.pack("<i", 0) + descriptor(b"V", b"P", None, None))
write("descriptor_fuzz", "unterminated", b"\0" + struct.pack("<i", 9990) + b"\0" * 9990 + b"4142434445")


def identify(serial_field, model_field):
    words = [0] * 256
    for base, field, count in ((10, serial_field, 10), (27, model_field, 20)):
        field = field.ljust(2 * count, b" ")[: 2 * count]
        for i in range(count):
            words[base + i] = field[2 * i] << 8 | field[2 * i + 1]
    return struct.pack("<256H", *words)


fields = [
    b"        ABCD12345678", b" " * 20, b"\0" * 20, b"-ABCDEFGHIJKLMNOPQRS", b"\0BCDEFGHIJKLMNOPQRS",
    b"AB CD EF", b"SERIAL\t\r\n", b"\t", b"\t\t", b"\x80ABCDEFGHIJKLMNOPQRS",
]
for i, field in enumerate(fields):
    header = bytes([i & 1]) + struct.pack("<ii", 10, 19)
    write("identify_fuzz", "example%02d" % i, header + identify(field, b"DISK MODEL 1"))
write("identify_fuzz", "backwards", b"\0" + struct.pack("<ii", 19, 10) + identify(b"X", b"Y"))


def reply(result, error, data):
    return bytes([result]) + struct.pack("<I", error) + bytes([len(data) // 64, len(data) % 64]) + data


smart_version = bytes([1, 1, 0, 1]) + b"\0" * 20
ok_identify = b"\0" * 16 + identify(b"        ABCD12345678", b"DISK MODEL 1")
for name, smart_ok, data in (("smart-accepts", 1, ok_identify), ("smart-refuses", 0, b"")):
    head = bytes([0, 0]) + b"\0" * 5 + b"\0" * 5
    body = reply(1, 0, smart_version) + reply(smart_ok, 31, data) + reply(1, 0, b"\0" * 24)
    body += reply(1, 0, descriptor(b"VENDOR", b"PRODUCT", b"1", b"SN-ABC123"))
    write("collect_fuzz", name, head + body)
write("collect_fuzz", "open-fails", bytes([0, 0, 1]) + struct.pack("<I", 5) + bytes([1]) + struct.pack("<I", 2))


def piece(data):
    data = data + b"\n" * (len(data) % 2)  # pieces come in pairs of bytes
    return bytes([len(data) // 2]) + data


def vpd(serial):
    return bytes([0, 0x80, 0, len(serial)]) + serial


kinds = [
    (0, [b"S4EWNX0R123456      \n", b"Samsung SSD 970 EVO Plus 1TB\n", b"2B2QEXM7\n"]),
    (1, [b"1136632498710136", b"0x1af4\n"]),
    (2, [b"ATA     \n", b"QEMU HARDDISK   \n", b"2.5+\n", b"0\n", vpd(b"      SN-SATA-0001  ")]),
    (3, [b"SanDisk \n", b"Cruzer Blade    \n", b"1.00\n", vpd(b"FROM-VPD"), b"4C530001230101117371\n"]),
]
for kind, files in kinds:
    body = bytes([kind]) + b"".join(piece(f) for f in files)
    body += piece(b"2097152\n") + piece(b"512\n") + piece(b"0\n") + bytes([10, 0])
    write("linux_backend_fuzz", "kind%d" % kind, body)
write("linux_backend_fuzz", "sense-fixed", bytes([2, 18]) + bytes([0x70, 0, 1, 0, 0, 0, 0, 10]) + b"\0" * 28)
write("linux_backend_fuzz", "sense-descriptor", bytes([2, 11]) + bytes([0x72, 1, 0, 0x1D, 0, 0, 0, 14, 9, 12, 0, 0]) + b"\0" * 10)


def compare_corpus():
    """Variants of the real hwid-explain --json outputs committed as
    corpus/compare_fuzz/real-*.json: other encodings, and broken copies."""
    folder = os.path.join(HERE, "corpus", "compare_fuzz")
    for name in sorted(os.listdir(folder)):
        if not (name.startswith("real-") and name.endswith(".json")):
            continue
        base = open(os.path.join(folder, name), "rb").read()
        stem = name[len("real-"):-len(".json")]
        text = base.decode("ascii")
        write("compare_fuzz", stem + "-utf8-bom", b"\xef\xbb\xbf" + base)
        write("compare_fuzz", stem + "-utf16le", b"\xff\xfe" + text.encode("utf-16-le"))
        write("compare_fuzz", stem + "-utf16be", b"\xfe\xff" + text.encode("utf-16-be"))
        write("compare_fuzz", stem + "-bytes",
              base.replace(b'"model": "', b'"model": "\\u00e9\\u0001\\t\\"', 1))
        write("compare_fuzz", stem + "-extra-key", base.replace(b"{", b'{"later": [1, {}], ', 1))
        write("compare_fuzz", stem + "-broken-duplicate",
              base.replace(b'"model"', b'"model": "x", "model"', 1))
        write("compare_fuzz", stem + "-broken-type",
              base.replace(b'"serial_obtained": true', b'"serial_obtained": "true"', 1)
              .replace(b'"serial_obtained": false', b'"serial_obtained": "false"', 1))
        write("compare_fuzz", stem + "-broken-nul",
              base.replace(b'"model": "', b'"model": "\\u0000', 1))
        write("compare_fuzz", stem + "-broken-array", b"[" + base + b"]")
        write("compare_fuzz", stem + "-broken-cut", base[: len(base) // 2])
        write("compare_fuzz", stem + "-broken-utf16-odd",
              b"\xff\xfe" + text.encode("utf-16-le") + b"}")


compare_corpus()
