"""Reads table descriptions (TOML) into a checked model.

Every description error is reported as "<file>:<line>: <message>", the line
being the one that holds the offending key or named item (or 1 when the
problem is a missing key).
"""
from __future__ import annotations

import pathlib
import re
import tomllib
from dataclasses import dataclass, field

CHIP_NAME = "bcm88490_a0"

PLAIN_TYPES = {"unsigned char": 8, "unsigned short": 16}
# "U<n>" is Orvel::BoundedUnsigned<n> for any width from 1 to 31 bits, except
# the two widths a plain type holds exactly.
BOUNDED_TYPE = re.compile(r"U([1-9][0-9]?)")
BOUNDED_MAX_WIDTH = 31
FIELD_TYPES_TEXT = (f"U1 to U{BOUNDED_MAX_WIDTH} (but U8 and U16), "
                    f"{', '.join(PLAIN_TYPES)} or Wem::PerUnitBitmap")
VECTOR_TYPE = "Wem::PerUnitBitmap"
WALKS = ("full", "partial", "entryByEntry")
MEMORY_CHOOSABLE = ("block", "baseAddress", "firstInstanceId", "instanceCount")


class DescriptionError(Exception):
    pass


@dataclass
class Field:
    name: str
    offset: int = 0
    width: int = 0
    type: str = ""
    alias_of: str | None = None
    access: str = "bitCopy"  # or "subFields"

    @property
    def is_vector(self) -> bool:
        return self.type == VECTOR_TYPE


@dataclass
class FieldArray:
    name: str
    fields: list[str]


@dataclass
class Memory:
    memory_id: int
    name: str
    block: int
    base_address: int
    first_instance_id: int
    instance_count: int
    chosen: list[str]
    # Derived from the key and the entry size.
    first_array_index: int = 0
    array_count: int = 1
    first_entry_index: int = 0
    entry_count: int = 1


@dataclass
class Key:
    form: str  # "indexed" or "value"
    array_index: tuple[int, int] = (0, 0)
    entry_index: tuple[int, int] = (0, 0)
    max: int = 0

    @property
    def null(self) -> int:
        return self.max + 1


@dataclass
class Table:
    source: str  # the description's path, as generated files name it
    name: str
    order: int  # the table's place in the initialisation order and the catalogue
    kind: str
    bcm_name: str
    group: str
    table_plugin: bool
    parity: bool
    entry_size: int
    blocks: list[int]
    walk: str
    defaults_trace: str | None
    key: Key
    reader_key_takes_array_index: bool
    reader_bytes_per_entry: int
    memories: list[Memory]
    fields: list[Field] = field(default_factory=list)
    field_arrays: list[FieldArray] = field(default_factory=list)
    path: str = ""  # where the description was read from

    @property
    def type_name(self) -> str:
        return f"{CHIP_NAME}::{self.name}"

    @property
    def is_register(self) -> bool:
        return self.kind == "register"

    @property
    def lower_name(self) -> str:
        return self.name[0].lower() + self.name[1:]

    @property
    def reader_name(self) -> str:
        return f"HwTable{self.name}Reader"


class _Locator:
    """Finds the line of a key or of a named item in a description's text."""

    def __init__(self, path: str, text: str):
        self.path = path
        self.lines = text.splitlines()

    def _find(self, pattern: str) -> int:
        regex = re.compile(pattern)
        for number, line in enumerate(self.lines, start=1):
            if regex.search(line):
                return number
        return 1

    def at_key(self, key: str) -> str:
        line = self._find(r"^\s*" + re.escape(key) + r"\s*=")
        return f"{self.path}:{line}"

    def at_name(self, name: str) -> str:
        line = self._find(r'^\s*name\s*=\s*"' + re.escape(name) + '"')
        return f"{self.path}:{line}"

    def error(self, where: str, message: str) -> DescriptionError:
        return DescriptionError(f"{where}: {message}")


def key_location(path: str, key: str) -> str:
    """"<file>:<line>" of `key` in the description at `path`."""
    return _Locator(path, pathlib.Path(path).read_text(encoding="utf-8")).at_key(key)


def _require(data: dict, key: str, kind: type, loc: _Locator, where: str | None = None):
    if key not in data:
        raise loc.error(where or f"{loc.path}:1", f"missing key '{key}'")
    value = data[key]
    if kind is int and isinstance(value, bool) or not isinstance(value, kind):
        raise loc.error(loc.at_key(key), f"'{key}' must be {kind.__name__}, not {type(value).__name__}")
    return value


def bounded_width(type_name: str) -> int | None:
    """The width of a bounded type "U<n>", or None when the name is not one."""
    match = BOUNDED_TYPE.fullmatch(type_name)
    if match is None:
        return None
    width = int(match.group(1))
    return width if width <= BOUNDED_MAX_WIDTH and width not in PLAIN_TYPES.values() else None


def _field_type_width(type_name: str, entry_size: int) -> int | None:
    width = bounded_width(type_name)
    if width is not None:
        return width
    if type_name in PLAIN_TYPES:
        return PLAIN_TYPES[type_name]
    if type_name == VECTOR_TYPE:
        return entry_size * 8
    return None


def _read_fields(data: dict, entry_size: int, loc: _Locator) -> list[Field]:
    fields: list[Field] = []

    def add(f: Field, where: str) -> None:
        if not re.fullmatch(r"[a-z][A-Za-z0-9]*", f.name):
            raise loc.error(where, f"field name '{f.name}' is not a lowerCamel identifier")
        if any(existing.name == f.name for existing in fields):
            raise loc.error(where, f"field '{f.name}' is defined twice")
        fields.append(f)

    def checked(name: str, offset: int, width: int, type_name: str, access: str, where: str) -> Field:
        expected = _field_type_width(type_name, entry_size)
        if expected is None:
            raise loc.error(where, f"field '{name}' has unknown type '{type_name}'; field types are {FIELD_TYPES_TEXT}")
        if width != expected:
            raise loc.error(where, f"field '{name}' of type {type_name} must be {expected} bits wide, not {width}")
        if offset < 0 or offset + width > entry_size * 8:
            raise loc.error(where, f"field '{name}' (bits {offset}..{offset + width - 1}) "
                                   f"does not fit in {entry_size * 8} data bits")
        if access not in ("bitCopy", "subFields"):
            raise loc.error(where, f"field '{name}' has unknown access '{access}'")
        return Field(name, offset, width, type_name, None, access)

    for item in data.get("field", []):
        name = item.get("name", "")
        where = loc.at_name(name)
        if "aliasOf" in item:
            extra = set(item) - {"name", "aliasOf"}
            if extra:
                raise loc.error(where, f"alias '{name}' takes no {', '.join(sorted(extra))}")
            add(Field(name, alias_of=item["aliasOf"]), where)
            continue
        for key in ("offset", "width", "type"):
            if key not in item:
                raise loc.error(where, f"field '{name}' lacks '{key}'")
        add(checked(name, item["offset"], item["width"], item["type"], item.get("access", "bitCopy"), where), where)

    for family in data.get("fieldFamily", []):
        base = family.get("name", "")
        where = loc.at_name(base)
        for key in ("count", "offset", "stride", "width", "type"):
            if key not in family:
                raise loc.error(where, f"field family '{base}' lacks '{key}'")
        for i in range(family["count"]):
            name = f"{base}{i}"
            add(checked(name, family["offset"] + i * family["stride"], family["width"], family["type"],
                        family.get("access", "bitCopy"), where), where)

    by_name = {f.name: f for f in fields}
    for f in fields:
        if f.alias_of is None:
            continue
        target = by_name.get(f.alias_of)
        if target is None:
            raise loc.error(loc.at_name(f.name), f"alias '{f.name}' names unknown field '{f.alias_of}'")
        if target.alias_of is not None:
            raise loc.error(loc.at_name(f.name), f"alias '{f.name}' names another alias '{f.alias_of}'")
    return fields


def _resolve(fields: list[Field], name: str) -> Field:
    f = next(f for f in fields if f.name == name)
    return _resolve(fields, f.alias_of) if f.alias_of else f


def _read_field_arrays(data: dict, fields: list[Field], loc: _Locator) -> list[FieldArray]:
    names = {f.name for f in fields}
    arrays = []
    for item in data.get("fieldArray", []):
        name = item.get("name", "")
        where = loc.at_name(name)
        members = item.get("fields", [])
        if not members:
            raise loc.error(where, f"field array '{name}' lists no fields")
        for member in members:
            if member not in names:
                raise loc.error(where, f"field array '{name}' names unknown field '{member}'")
        types = {_resolve(fields, m).type for m in members}
        if len(types) != 1:
            raise loc.error(where, f"field array '{name}' mixes field types {', '.join(sorted(types))}")
        if name in names:
            raise loc.error(where, f"field array '{name}' has the name of a field")
        arrays.append(FieldArray(name, list(members)))
    return arrays


def _read_key(data: dict, loc: _Locator) -> Key:
    key = data.get("key")
    if not isinstance(key, dict):
        raise loc.error(f"{loc.path}:1", "missing table [key]")
    form = key.get("form")
    if form == "indexed":
        array_index = tuple(key.get("arrayIndex", ()))
        entry_index = tuple(key.get("entryIndex", ()))
        if len(array_index) != 2 or not 0 <= array_index[0] <= array_index[1] <= 255:
            raise loc.error(loc.at_key("arrayIndex"), "arrayIndex must be [min, max] with 0 <= min <= max <= 255")
        if len(entry_index) != 2 or entry_index[0] != 0 or not entry_index[0] <= entry_index[1] < 2**32 - 1:
            raise loc.error(loc.at_key("entryIndex"), "entryIndex must be [0, max] with max below 2^32 - 1")
        return Key("indexed", array_index, entry_index)
    if form == "value":
        maximum = key.get("max")
        if not isinstance(maximum, int) or not 0 <= maximum < 2**32 - 1:
            raise loc.error(loc.at_key("max"), "a value key needs 'max' from 0 to 2^32 - 2")
        return Key("value", max=maximum)
    raise loc.error(loc.at_key("form"), f"key form must be 'indexed' or 'value', not {form!r}")


def _read_memories(data: dict, key: Key, entry_size: int, loc: _Locator) -> list[Memory]:
    memories = []
    for memory_id, item in enumerate(data.get("memory", [])):
        name = item.get("name", "")
        where = loc.at_name(name)
        for k in ("name", "block", "baseAddress", "firstInstanceId", "instanceCount"):
            if k not in item:
                raise loc.error(where, f"memory '{name}' lacks '{k}'")
        first, count = item["firstInstanceId"], item["instanceCount"]
        if count < 1 or first < 0 or first + count - 1 > 255:
            raise loc.error(where, f"memory '{name}': instances {first}..{first + count - 1} must be at least one "
                                   "and end at 255 or below")
        chosen = item.get("chosen", [])
        for c in chosen:
            if c not in MEMORY_CHOOSABLE:
                raise loc.error(where, f"memory '{name}': '{c}' in chosen is not one of {', '.join(MEMORY_CHOOSABLE)}")
        memory = Memory(memory_id, name, item["block"], item["baseAddress"], first, count, list(chosen))
        if key.form == "indexed":
            memory.first_array_index = key.array_index[0]
            memory.array_count = key.array_index[1] - key.array_index[0] + 1
            memory.entry_count = key.entry_index[1] + 1
        else:
            memory.entry_count = key.max + 1
        memories.append(memory)
    if not memories:
        raise loc.error(f"{loc.path}:1", "a table needs at least one [[memory]]")
    return memories


def load(path: str | pathlib.Path) -> Table:
    path = str(path)
    text = pathlib.Path(path).read_text(encoding="utf-8")
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise DescriptionError(f"{path}: {e}") from None
    loc = _Locator(path, text)

    name = _require(data, "name", str, loc)
    stem = pathlib.Path(path).stem
    if name != stem:
        raise loc.error(loc.at_key("name"), f"table '{name}' must be described in {name}.toml, not {stem}.toml")
    if "order" not in data:
        raise loc.error(f"{path}:1", "missing key 'order' (the table's place in the initialisation order: "
                                     "a number no other description of the catalogue uses)")
    order = _require(data, "order", int, loc)
    if order < 0:
        raise loc.error(loc.at_key("order"), "order must be 0 or more")
    kind = _require(data, "kind", str, loc)
    if kind not in ("direct", "register"):
        raise loc.error(loc.at_key("kind"), f"kind must be 'direct' or 'register', not '{kind}'")
    suffix = "HwDirect" if kind == "direct" else "HwReg"
    if not name.endswith(suffix):
        raise loc.error(loc.at_key("name"), f"a {kind} table's name must end in {suffix}")
    entry_size = _require(data, "entrySize", int, loc)
    if entry_size < 1 or entry_size > 256:
        raise loc.error(loc.at_key("entrySize"), "entrySize must be 1 to 256 bytes")
    walk = _require(data, "walk", str, loc)
    if walk not in WALKS:
        raise loc.error(loc.at_key("walk"), f"walk must be one of {', '.join(WALKS)}")
    if (walk == "entryByEntry") != (kind == "register"):
        raise loc.error(loc.at_key("walk"), "register tables walk entryByEntry; direct tables walk full or partial")
    blocks = _require(data, "blocks", list, loc)
    key = _read_key(data, loc)

    reader = data.get("reader")
    if kind == "direct":
        if not isinstance(reader, dict):
            raise loc.error(f"{path}:1", "a direct table needs a [reader] table")
        parity = _require(data, "parity", bool, loc)
        if reader.get("bytesPerEntry") != entry_size:
            raise loc.error(loc.at_key("bytesPerEntry"),
                            f"the reader decodes entries of the table's entrySize ({entry_size} bytes)")
        if not blocks:
            raise loc.error(loc.at_key("blocks"), "a direct table declares at least one chip block")
    else:
        if reader is not None or "parity" in data:
            raise loc.error(loc.at_key("parity") if "parity" in data else f"{path}:1",
                            "register tables take no [reader] and no parity")
        if blocks:
            raise loc.error(loc.at_key("blocks"), "register tables declare no chip blocks")
        if key.form != "value" or key.max != 0:
            raise loc.error(loc.at_key("form"), "a register table's key is the value form with max 0")
        parity = False
        reader = {"keyTakesArrayIndex": False, "bytesPerEntry": entry_size}

    memories = _read_memories(data, key, entry_size, loc)
    if kind == "direct" and len(blocks) != len(memories):
        raise loc.error(loc.at_key("blocks"), f"{len(blocks)} blocks for {len(memories)} memories")
    fields = _read_fields(data, entry_size, loc)
    if not fields:
        raise loc.error(f"{path}:1", "a table needs at least one [[field]]")

    return Table(
        source=path,
        path=path,
        name=name,
        order=order,
        kind=kind,
        bcm_name=_require(data, "bcmName", str, loc),
        group=_require(data, "group", str, loc),
        table_plugin=_require(data, "tablePlugin", bool, loc),
        parity=parity,
        entry_size=entry_size,
        blocks=list(blocks),
        walk=walk,
        defaults_trace=data.get("defaultsTrace"),
        key=key,
        reader_key_takes_array_index=bool(reader.get("keyTakesArrayIndex", False)),
        reader_bytes_per_entry=int(reader.get("bytesPerEntry", entry_size)),
        memories=memories,
        fields=fields,
        field_arrays=_read_field_arrays(data, fields, loc),
    )
