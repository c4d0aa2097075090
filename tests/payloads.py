"""Builders for postcard accelerometer payloads and their expected documents.

Used by the tests to make inputs; written from the wire rules, independent of
the module's code.
"""
import base64
import json

RANGES = ["R2G", "R4G", "R8G"]
FREQS = ["F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz"]
NOISES = ["NormalNoise", "LowNoise", "UltraLowNoise"]
ANTIALIASES = ["HalfFreq", "QuarterFreq"]


def varint(n: int) -> bytes:
    assert n >= 0
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag(v: int, bits: int) -> int:
    return ((v << 1) ^ (v >> (bits - 1))) & ((1 << bits) - 1)


def i16(v: int) -> bytes:
    return varint(zigzag(v, 16))


def i64(v: int) -> bytes:
    return varint(zigzag(v, 64))


def samples_bytes(samples) -> bytes:
    return varint(len(samples)) + b"".join(i16(x) + i16(y) + i16(z) for x, y, z in samples)


def v1_bytes(timestamp, acc_temp, samples) -> bytes:
    return i64(timestamp) + i16(acc_temp) + samples_bytes(samples)


def settings_bytes(rng, freq, noise, antialias, acc_temp, samples) -> bytes:
    return bytes([rng, freq, noise, antialias]) + i16(acc_temp) + samples_bytes(samples)


def _samples_json(samples):
    return [{"x": x, "y": y, "z": z} for x, y, z in samples]


def v1_document(timestamp, acc_temp, samples) -> str:
    record = {"timestamp": timestamp, "acc_temp": acc_temp, "samples": _samples_json(samples)}
    return compact({"Accel": {"V1": record}})


def settings_document(version, rng, freq, noise, antialias, acc_temp, samples) -> str:
    record = {
        "range": RANGES[rng],
        "freq": FREQS[freq],
        "noise": NOISES[noise],
        "antialias": ANTIALIASES[antialias],
        "acc_temp": acc_temp,
        "samples": _samples_json(samples),
    }
    return compact({"Accel": {f"V{version}": record}})


def compact(value) -> str:
    return json.dumps(value, separators=(",", ":"))


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


# ---- lines and files of them ---------------------------------------------------

def realistic_line(rng) -> bytes:
    """A version 2 or 3 payload line as a device sends it: 10 to 70 samples
    around 1 g on z."""
    n = rng.randint(10, 70)
    samples = [(int(rng.gauss(0, 250)), int(rng.gauss(0, 250)), int(rng.gauss(1000, 250)))
               for _ in range(n)]
    settings = (rng.randrange(3), rng.randrange(6), rng.randrange(3), rng.randrange(2))
    return b64(settings_bytes(*settings, rng.randrange(-200, 900), samples)).encode()


def damaged(line, rng) -> bytes:
    """A line cut, flipped, edited or padded in one of the ways devices and networks do."""
    b = bytearray(line)
    kind = rng.randrange(8)
    if kind == 0:
        return bytes(b[:rng.randrange(len(b))])                     # cut
    if kind == 1:
        i = rng.randrange(len(b))
        b[i] = rng.choice(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=")
        return bytes(b)                                             # another symbol
    if kind == 2:
        i = rng.randrange(len(b))
        return bytes(b[:i]) + bytes([rng.randrange(0x80, 0x100)]) + bytes(b[i:])  # not UTF-8
    if kind == 3:
        return bytes(b) + rng.choice([b" ", b"\t", b"\r", b"\x00", b"=", b"\xc3\xa9"])
    if kind == 4:
        return b64(bytes([rng.randrange(256) for _ in range(rng.randrange(40))])).encode()
    if kind == 5:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 60))).replace(b"\n", b"")
    if kind == 6:
        return b"\r" * rng.randrange(1, 3)                          # blank with CRs
    return bytes(b).replace(b"A", b"-", 1)                          # URL-safe alphabet


def make_file(rng, lines, bad_share=0.0, ending=b"\n", final_newline=True, line=None, extra=()):
    """The bytes of a file of `lines` lines joined by `ending` (None: LF or
    CRLF, drawn per line). Each line is `line(rng)` if given, else empty (3%),
    damaged (bad_share) or realistic; the `extra` lines are shuffled in."""
    rows = []
    for _ in range(lines):
        if line is not None:
            rows.append(line(rng))
            continue
        r = rng.random()
        if r < 0.03:
            rows.append(b"")
        elif r < 0.03 + bad_share:
            rows.append(damaged(realistic_line(rng), rng))
        else:
            rows.append(realistic_line(rng))
    if extra:
        rows += list(extra)
        rng.shuffle(rows)
    out = bytearray()
    for i, row in enumerate(rows):
        out += row
        if i + 1 < len(rows) or final_newline:
            out += ending if ending is not None else rng.choice([b"\n", b"\r\n"])
    return bytes(out)
