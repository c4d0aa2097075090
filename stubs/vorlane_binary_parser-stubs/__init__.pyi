"""Decodes Base64 postcard accelerometer payloads into compact JSON text."""

from typing import final

__all__ = ["BinaryParser"]

@final
class BinaryParser:
    """A stateless decoder: one instance serves any number of calls, from any thread.

    Raises:
        TypeError: if given any argument.
    """

    def __init__(self) -> None: ...
    def parse(self, kind: str, version: int, b64_data: str) -> str:
        """Decodes one payload into its JSON document.

        Args:
            kind: the payload kind; only "accel" is known (exact, case-sensitive).
            version: the payload version, 1, 2 or 3 (any int from 0 to 2**64 - 1 is
                accepted; others fail with ProtocolVersionNotSupported).
            b64_data: canonical, padded standard Base64 of the postcard record.

        Returns:
            The compact JSON document, e.g. '{"Accel":{"V3":{...}}}'.

        Raises:
            ValueError: "Unknown kind: '...'. Expected 'accel'." for another kind;
                "Parsing failed: ..." for Base64 or record faults, or a version
                other than 1, 2 or 3 (see docs/errors.md for every form).
            TypeError: a wrong number or name of arguments, or kind or b64_data
                not a str, or version not an int.
            OverflowError: version negative or 2**64 or more.
            UnicodeEncodeError: kind or b64_data holding a lone surrogate.
            MemoryError: the process ran out of memory.
        """
        ...
