"""A plain, slow, independent model of what `parse` returns for any input.

Written from the documented rules (canonical Base64, the postcard wire
primitives, the three record layouts and the compact document), not from the
module's code; the differential tests compare the module with it. Nothing
here is clever: one byte at a time, Python integers, string concatenation.

`model_parse(kind, version, text)` returns ("ok", document) or
("ValueError", message) for the data-dependent outcomes. Argument binding
and conversion (TypeError, OverflowError) are not modelled here.
"""

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SYMBOL = {ord(c): i for i, c in enumerate(ALPHABET)}
PAD = ord("=")

RANGE_NAMES = ("R2G", "R4G", "R8G")
FREQ_NAMES = ("F12_5Hz", "F25Hz", "F50Hz", "F100Hz", "F200Hz", "F400Hz")
NOISE_NAMES = ("NormalNoise", "LowNoise", "UltraLowNoise")
ANTIALIAS_NAMES = ("HalfFreq", "QuarterFreq")

# Samples reserved at most before any is read: 1 MiB of 6-byte samples.
UPFRONT_CAP = 174762


class Fault(Exception):
    """A decoding failure, carrying its debug text."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


# ---- Base64 -------------------------------------------------------------

def invalid_byte(offset, byte):
    return Fault(f"InvalidByte({offset}, {byte})")


def base64_decode(data: bytes) -> bytes:
    """Canonical Base64 text (as bytes) to bytes; raises Fault."""
    n = len(data)
    r = n % 4
    # A 4k+1 text: its last byte is judged before anything else.
    if r == 1 and data[-1] != PAD and data[-1] not in SYMBOL:
        raise invalid_byte(n - 1, data[-1])

    if r != 0:
        body_len = n - r
    elif n >= 4:
        body_len = n - 4
    else:
        body_len = 0

    out = bytearray()
    for start in range(0, body_len, 4):
        values = []
        for offset in range(start, start + 4):
            if data[offset] not in SYMBOL:
                raise invalid_byte(offset, data[offset])
            values.append(SYMBOL[data[offset]])
        s0, s1, s2, s3 = values
        out.append(s0 * 4 + s1 // 16)
        out.append((s1 % 16) * 16 + s2 // 4)
        out.append((s2 % 4) * 64 + s3)

    group = data[body_len:]
    symbols = []
    pads = 0
    first_pad = None
    for p, byte in enumerate(group):
        if byte == PAD:
            if p < 2:
                raise invalid_byte(body_len + p, PAD)
            if first_pad is None:
                first_pad = p
            pads += 1
        elif first_pad is not None:
            raise invalid_byte(body_len + first_pad, PAD)
        elif byte not in SYMBOL:
            raise invalid_byte(body_len + p, byte)
        else:
            symbols.append(SYMBOL[byte])

    if n and len(symbols) < 2:
        raise Fault(f"InvalidLength({body_len + len(symbols)})")
    if (len(symbols) + pads) % 4:
        raise Fault("InvalidPadding")
    last = len(symbols) - 1
    if (len(symbols) == 2 and symbols[1] % 16) or (len(symbols) == 3 and symbols[2] % 4):
        offset = body_len + last
        raise Fault(f"InvalidLastSymbol({offset}, {data[offset]})")

    # The final group as a 24-bit number; keep as many bytes as it carries.
    word = 0
    for i in range(4):
        word = word * 64 + (symbols[i] if i < len(symbols) else 0)
    tail = word.to_bytes(3, "big")
    out += tail[: max(len(symbols) - 1, 0)]
    return bytes(out)


# ---- postcard wire ------------------------------------------------------

class Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def byte(self):
        if self.pos == len(self.data):
            raise Fault("DeserializeUnexpectedEnd")
        b = self.data[self.pos]
        self.pos += 1
        return b

    def varint(self, width):
        max_bytes = -(-width // 7)
        last_limit = 2 ** (width - 7 * (max_bytes - 1)) - 1
        value = 0
        for i in range(max_bytes):
            b = self.byte()
            if i == max_bytes - 1:
                if b > last_limit:
                    raise Fault("DeserializeBadVarint")
                return value + (b << (7 * i))
            value += (b & 0x7F) << (7 * i)
            if b < 0x80:
                return value
        raise AssertionError("unreachable")

    def zigzag(self, width):
        n = self.varint(width)
        return -(n + 1) // 2 if n % 2 else n // 2

    def enum(self, names):
        tag = self.varint(32)
        if tag >= len(names):
            raise Fault("SerdeDeCustom")
        return names[tag]

    def samples(self):
        count = self.varint(64)
        # The up-front reservation rule; it never changes the outcome.
        reserved = min(count, UPFRONT_CAP) if count <= self.left() else 0
        assert reserved <= UPFRONT_CAP
        out = []
        for _ in range(count):
            out.append((self.zigzag(16), self.zigzag(16), self.zigzag(16)))
        return out


def decode_v1(data: bytes):
    r = Reader(data)
    timestamp = r.zigzag(64)
    acc_temp = r.zigzag(16)
    samples = r.samples()
    return [("timestamp", timestamp), ("acc_temp", acc_temp), ("samples", samples)]


def decode_settings(data: bytes):
    r = Reader(data)
    fields = [
        ("range", r.enum(RANGE_NAMES)),
        ("freq", r.enum(FREQ_NAMES)),
        ("noise", r.enum(NOISE_NAMES)),
        ("antialias", r.enum(ANTIALIAS_NAMES)),
    ]
    fields.append(("acc_temp", r.zigzag(16)))
    fields.append(("samples", r.samples()))
    return fields


# ---- the document -------------------------------------------------------

def json_string(text: str) -> str:
    out = '"'
    for ch in text:
        code = ord(ch)
        if ch == '"':
            out += '\\"'
        elif ch == "\\":
            out += "\\\\"
        elif code < 0x20:
            out += {8: "\\b", 9: "\\t", 10: "\\n", 12: "\\f", 13: "\\r"}.get(code, "\\u%04x" % code)
        else:
            out += ch
    return out + '"'


def json_value(value) -> str:
    if isinstance(value, str):
        return json_string(value)
    if isinstance(value, int):
        return str(value)
    # The sample run.
    items = []
    for x, y, z in value:
        items.append("{" + ",".join(json_string(k) + ":" + str(v) for k, v in (("x", x), ("y", y), ("z", z))) + "}")
    return "[" + ",".join(items) + "]"


def document(version: int, fields) -> str:
    record = "{" + ",".join(json_string(k) + ":" + json_value(v) for k, v in fields) + "}"
    return "{" + json_string("Accel") + ":{" + json_string(f"V{version}") + ":" + record + "}}"


# ---- the whole path -----------------------------------------------------

def decode(version: int, text_bytes: bytes) -> str:
    """The document for the UTF-8 text, or raises Fault with the debug text."""
    try:
        data = base64_decode(text_bytes)
    except Fault as f:
        raise Fault(f"B64Error({f.text})") from None
    if version not in (1, 2, 3):
        raise Fault(f"ProtocolVersionNotSupported({version})")
    try:
        fields = decode_v1(data) if version == 1 else decode_settings(data)
    except Fault as f:
        raise Fault(f"PostcardError({f.text})") from None
    return document(version, fields)


def model_parse(kind: str, version: int, text: str):
    if kind != "accel":
        return ("ValueError", f"Unknown kind: '{kind}'. Expected 'accel'.")
    assert 0 <= version < 2**64
    try:
        return ("ok", decode(version, text.encode("utf-8")))
    except Fault as f:
        return ("ValueError", f"Parsing failed: {f.text}")
