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
