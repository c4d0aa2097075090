"""The JSON Schema (draft 2020-12) of the documents vorlane_binary_parser writes.

    from vorlane_binary_parser_schema import load_schema
    jsonschema.Draft202012Validator(load_schema()).validate(json.loads(document))
"""
from __future__ import annotations

import json
from importlib import resources
from typing import Any

__all__ = ["SCHEMA_FILE", "load_schema", "schema_text"]

SCHEMA_FILE = "document.schema.json"


def schema_text() -> str:
    """The schema as the package holds it (UTF-8 JSON text)."""
    return resources.files(__name__).joinpath(SCHEMA_FILE).read_text(encoding="utf-8")


def load_schema() -> dict[str, Any]:
    """The schema parsed into a new dict (callers may change their copy)."""
    schema: dict[str, Any] = json.loads(schema_text())
    return schema
