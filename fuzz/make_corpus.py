#!/usr/bin/env python3
"""Writes the seed corpora: real frames for the decoder target, real answers for the readers."""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent


def crc16(data, crc=0xFFFF):
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def header(length):
    inv = ~length & 0xFFFF
    return bytes([0xF5, length & 0xFF, length >> 8, inv & 0xFF, inv >> 8])


def frame(address, payload):
    covered = bytes([address]) + payload
    crc = crc16(covered)
    return header(len(covered) + 2) + covered + bytes([crc & 0xFF, crc >> 8])


def decoder_input(address, steps, stream, clock_to_wrap=0x80):
    # address, clock start, step count - 1, steps (low nibble chunk size, high nibble clock step)
    return bytes([address, clock_to_wrap, len(steps) - 1]) + bytes(steps) + stream


def address_tag(name, address, terminated):
    record = bytearray([0x06, 0x01, 0, 0]) + name.encode()[:4].ljust(4, b"\0")
    record += bytes([address, 1 if terminated else 0])
    head = crc16(record[0:2])
    record[2:4] = bytes([head & 0xFF, head >> 8])
    body = crc16(record[4:10])
    return bytes(record) + bytes([body & 0xFF, body >> 8])


WHOLE = 0x0F  # one 4096-byte chunk, no clock step
ONE_BYTE = 0x01
NEAR_LIMIT = 0x96  # 7-byte chunks, clock +500 ms
PAST_LIMIT = 0xA6  # 7-byte chunks, clock +501 ms

version = frame(0x01, b"\x09")
answer = frame(0x01, b"\x00\x09V1.6.0\x00")
corrupt = version[:-1] + bytes([version[-1] ^ 1])

DECODER = {
    "version_request": decoder_input(0x01, [WHOLE], version),
    "empty_payload": decoder_input(0x00, [WHOLE], frame(0x00, b"")),
    "byte_by_byte": decoder_input(0x01, [ONE_BYTE], answer),
    "two_frames_and_foreign": decoder_input(
        0x01, [WHOLE], version + frame(0x02, b"\x00\x0ANAME\x00") + answer),
    "corrupt_then_good": decoder_input(0x01, [0x0B, WHOLE], corrupt + version + version),
    "header_in_payload": decoder_input(0x07, [0x03, 0x08], frame(0x07, bytes.fromhex("F5 03 00 FC FF"))),
    "longest_frame": decoder_input(0x01, [0x0E, 0x0E, 0x0E],
                                   frame(0x01, bytes(i & 0xFF for i in range(2065)))),
    "too_long_header": decoder_input(0x01, [WHOLE], header(2069) + version),
    "short_length_header": decoder_input(0x01, [WHOLE], header(2) + version),
    "timeout_edge": decoder_input(0x01, [0x06, NEAR_LIMIT], version + answer),
    "timeout_past": decoder_input(0x01, [0x06, PAST_LIMIT], version + answer, clock_to_wrap=0x01),
    "noise_and_frames": decoder_input(0x01, [0x05, 0x0C, 0x02],
                                      b"\x00\x11\xF5\xF5" + answer + b"\x33" + version),
}

settings = b"\x00\x0C\x05\x80\x01AB\x00\x00"
READERS = {
    "settings": settings,
    "settings_short": settings[:5],
    "version_text": b"\x00\x09V1.6.0\x00",
    "name_text_unterminated": b"\x00\x0AREADER-7",
    "uid": bytes.fromhex("00 03 44 00 04 A1 B2 C3 D4 E5 F6"),
    "uid_empty": bytes.fromhex("00 03 44 00"),
    "error": bytes.fromhex("FF 0C 01 02"),
    "error_firmware": bytes.fromhex("FF F3 00 01"),
    "eeprom_value": bytes.fromhex("00 F4 5A"),
    "tag_count": bytes.fromhex("00 02 01"),
    "address_tag_page": b"\x00\x40" + address_tag("AB", 0x07, True),
    "address_tag_record": address_tag("WXYZ", 0x80, False),
    "address_tag_utf8": address_tag("\u00c4\u00d6\u00dc", 0x10, True),
}

# First byte: how the fuzz target splits the rest into reads.
TELNET = {
    "server_opening": b"\x01" + bytes.fromhex("FFFB03 FFFD03 FFFB01 FFFE01 FFFD00 FFFB00 FFFD2C"),
    "settings_confirmed": b"\x03" + bytes.fromhex(
        "FFFA2C6B00FFF0 FFFA2C650001C200FFF0 FFFA2C6608FFF0 FFFA2C6701FFF0 FFFA2C6801FFF0"),
    "frame_with_ff": b"\x02" + bytes.fromhex("F50400FBFFFF1A0AFD50"),
    "command_in_frame": b"\x05" + bytes.fromhex("F50400FBFFFFFFF11A0AFFFB01FD50"),
    "refusal_text": b"\x07" + b"Port already in use\r\n",
}

# Laid out as minisign writes them, with made-up bytes: no key of anyone, no signature of anything.
def b64(data):
    import base64
    return base64.b64encode(data)


KEY_ID = bytes(range(1, 9))
PUBLIC_KEY = b"untrusted comment: minisign public key 0807060504030201\n" + b64(
    b"Ed" + KEY_ID + bytes(range(32))) + b"\n"


def signature(algorithm, comment, line_end=b"\n"):
    lines = [b"untrusted comment: signature from minisign secret key",
             b64(algorithm + KEY_ID + bytes(range(64, 128))),
             b"trusted comment: " + comment,
             b64(bytes(range(128, 192)))]
    return line_end.join(lines) + line_end


SIGNATURE = {
    "public_key": PUBLIC_KEY,
    "hashed": signature(b"ED", b"timestamp:1700000000\tfile:app.bin\thashed"),
    "legacy_crlf": signature(b"Ed", b"version:APP 2.5.0 model:door", b"\r\n"),
    "version_only": signature(b"ED", b"version:2.5"),
}


def write(directory, files):
    target = HERE / "corpus" / directory
    target.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (target / name).write_bytes(data)


if __name__ == "__main__":
    write("decoder", DECODER)
    write("readers", READERS)
    write("telnet", TELNET)
    write("signature", SIGNATURE)
