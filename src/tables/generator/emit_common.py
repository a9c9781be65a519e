"""Helpers shared by the emitters: template filling and C++ literals."""
from __future__ import annotations

import string
import textwrap


def fill(template: str, **values) -> str:
    """Fills a $name template; every placeholder must be given."""
    return string.Template(textwrap.dedent(template).lstrip("\n")).substitute(**values)


def cpp_string(text: str | None) -> str:
    if text is None:
        return "nullptr"
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return f'"{escaped}"'


def cpp_bool(value: bool) -> str:
    return "true" if value else "false"


def indent(text: str, spaces: int) -> str:
    return textwrap.indent(text, " " * spaces)
