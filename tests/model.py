"""A plain Python model of parse: the same documents and the same messages,
written from the decoding rules, slow and simple. The tests hold the module's
fast paths to it."""
import json

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SYMBOL = {b: i for i, b in enumerate(ALPHABET)}
PAD = ord("=")
NAMES = (("range", ("R2G", "R4G", "R8G")),
         ("freq", ("F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz")),
         ("noise", ("NormalNoise", "LowNoise", "UltraLowNoise")),
         ("antialias", ("HalfFreq", "QuarterFreq")))


class Failure(Exception):
    pass


def b64_decode(text: bytes) -> bytes:
    n = len(text)
    if n == 0:
        return b""

    def bad(offset, byte):
        raise Failure("B64Error(InvalidByte(%d, %d))" % (offset, byte))

    if n % 4 == 1 and text[-1] != PAD and text[-1] not in SYMBOL:
        bad(n - 1, text[-1])
    body = n - n % 4 if n % 4 else n - 4
    out = bytearray()
    for i in range(0, body, 4):
        word = 0
        for k in range(i, i + 4):
            if text[k] not in SYMBOL:
                bad(k, text[k])
            word = word << 6 | SYMBOL[text[k]]
        out += word.to_bytes(3, "big")
    symbols, pads, first_pad = [], 0, 0
    for p, byte in enumerate(text[body:]):
        if byte == PAD:
            if p < 2:
                bad(body + p, PAD)
            if not pads:
                first_pad = p
            pads += 1
        elif pads:
            bad(body + first_pad, PAD)
        elif byte not in SYMBOL:
            bad(body + p, byte)
        else:
            symbols.append(SYMBOL[byte])
    if len(symbols) < 2:
        raise Failure("B64Error(InvalidLength(%d))" % (body + len(symbols)))
    if (len(symbols) + pads) % 4:
        raise Failure("B64Error(InvalidPadding)")
    last = len(symbols) - 1
    if (len(symbols) == 2 and symbols[1] & 0x0F) or (len(symbols) == 3 and symbols[2] & 0x03):
        raise Failure("B64Error(InvalidLastSymbol(%d, %d))" % (body + last, text[body + last]))
    word = 0
    for s in symbols + [0] * (4 - len(symbols)):
        word = word << 6 | s
    return bytes(out + word.to_bytes(3, "big")[:last])


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def varint(self, max_bytes, last_max):
        value = 0
        for i in range(max_bytes):
            if self.pos == len(self.data):
                raise Failure("PostcardError(DeserializeUnexpectedEnd)")
            b = self.data[self.pos]
            self.pos += 1
            if i == max_bytes - 1:
                if b > last_max:
                    raise Failure("PostcardError(DeserializeBadVarint)")
                return value | b << 7 * i
            value |= (b & 0x7F) << 7 * i
            if not b & 0x80:
                return value

    def i16(self):
        n = self.varint(3, 0x03)
        return (n >> 1) ^ -(n & 1)

    def i64(self):
        n = self.varint(10, 0x01)
        return (n >> 1) ^ -(n & 1)

    def tag(self, names):
        t = self.varint(5, 0x0F)
        if t >= len(names):
            raise Failure("PostcardError(SerdeDeCustom)")
        return names[t]


def parse(kind: str, version: int, b64_data: str) -> str:
    """The document, or raises ValueError with the module's message."""
    if kind != "accel":
        raise ValueError("Unknown kind: '%s'. Expected 'accel'." % kind)
    try:
        data = b64_decode(b64_data.encode("utf-8"))
        if version not in (1, 2, 3):
            raise Failure("ProtocolVersionNotSupported(%d)" % version)
        r = Reader(data)
        record = {}
        if version == 1:
            record["timestamp"] = r.i64()
        else:
            for key, names in NAMES:
                record[key] = r.tag(names)
        record["acc_temp"] = r.i16()
        count = r.varint(10, 0x01)
        samples = []
        for _ in range(count):
            samples.append({"x": r.i16(), "y": r.i16(), "z": r.i16()})
        record["samples"] = samples
    except Failure as f:
        raise ValueError("Parsing failed: %s" % f) from None
    return json.dumps({"Accel": {"V%d" % version: record}}, separators=(",", ":"))
