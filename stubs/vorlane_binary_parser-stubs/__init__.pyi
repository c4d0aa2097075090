from typing import final

__all__ = ["BinaryParser"]

@final
class BinaryParser:
    def __init__(self) -> None: ...
    def parse(self, kind: str, version: int, b64_data: str) -> str: ...
