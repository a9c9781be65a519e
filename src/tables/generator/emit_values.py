"""Emits a table's value types: its traits, EntryKey, Entry with named
fields, and the type-erased operations the catalogue offers on them."""
from __future__ import annotations

from emit_common import cpp_string, fill, indent
from model import VECTOR_TYPE, Field, Table, bounded_width

TRAITS_INDEXED = """
static constexpr std::uint8_t kArrayIndexMin = $array_min;
static constexpr std::uint8_t kArrayIndexMax = $array_max;
static constexpr std::uint32_t kEntryIndexMin = $entry_min;
static constexpr std::uint32_t kEntryIndexMax = $entry_max;
"""

TRAITS_VALUE = """
static constexpr std::uint32_t kMax = $max;
"""

DECLARATION = """
// Names and constants the value-type templates take from this table.
struct ValueTraits {
  static constexpr const char* kTableName = "$table";
  static constexpr const char* kKeyTypeName = "$type_name::EntryKey";
  static constexpr const char* kEntryTypeName = "$type_name::Entry";
  static constexpr const char* kIndexTypeName = "$type_name::Entry::DataByte0Index";
  static constexpr std::uint32_t kEntrySize = $entry_size;
$key_traits};

using EntryKey = values::$key_template<ValueTraits>;

// One entry: the key, then $entry_size data bytes, with a getter and an "Is"
// setter per named field (bit 0 = least significant bit of data byte 0).
class Entry : public values::EntryBase<ValueTraits, EntryKey> {
 public:
  using EntryBase::EntryBase;

$accessors};
"""

LAYOUT = """
static_assert(std::is_standard_layout_v<$table::Entry> && std::is_trivially_copyable_v<$table::Entry>,
              "entries are stored by value in shared memory");
static_assert($table::Entry::keyOffset() == 0, "the key is first in an entry");
static_assert(sizeof($table::EntryKey) == $key_size && sizeof($table::Entry) == $entry_bytes,
              "key and entry sizes are part of the shared file layout");
"""

BIT_COPY = """
$ret $name() const {
  $storage bits = 0;
  Detail::copyBits(&bits, sizeof bits, dataByte0_.data(), entrySize, $width, 0, $offset);
  return $wrap;
}
void ${name}Is($ret value) {
  const $storage bits = $unwrap;
  Detail::copyBits(dataByte0_.data(), entrySize, &bits, sizeof bits, $width, $offset, 0);
}
"""

SUB_FIELDS = """
static constexpr Asic::SubField k${cap}Pieces[] = {{$width, 0, $offset}};
$ret $name() const {
  const auto bits = static_cast<$storage>(Asic::FieldAccessor(k${cap}Pieces).get(dataByte0_.data(), entrySize));
  return $wrap;
}
void ${name}Is($ret value) { Asic::FieldAccessor(k${cap}Pieces).set(dataByte0_.data(), entrySize, $unwrap); }
"""

VECTOR = """
Wem::PerUnitBitmap $name() const { return vectorGet(); }
void ${name}Is(const Wem::PerUnitBitmap& value) { vectorIs(value); }
"""

ALIAS = """
$ret $name() const { return $target(); }
void ${name}Is($param value) { ${target}Is(value); }
"""

FIELD_ARRAY = """
$ret $name(std::uint32_t index) const {
  switch (index) {
$get_cases  }
  values::failFieldArrayIndex(index);
}
void ${name}Is(std::uint32_t index, $param value) {
  switch (index) {
$set_cases  }
  values::failFieldArrayIndex(index);
}
"""

OPERATIONS = """
constexpr catalogue::FieldDescription kFields[] = {
$field_rows};

std::uint64_t fieldGet(const void* value, std::size_t field) {
  const auto& entry = *static_cast<const $table::Entry*>(value);
  switch (field) {
$get_cases  }
  return 0;
}

void fieldIs(void* value, std::size_t field, std::uint64_t v) {
  auto& entry = *static_cast<$table::Entry*>(value);
  switch (field) {
$set_cases  }
}

Wem::PerUnitBitmap vectorGet([[maybe_unused]] const void* value, std::size_t field) {
  [[maybe_unused]] const auto& entry = *static_cast<const $table::Entry*>(value);
  switch (field) {
$vector_get_cases  }
  return Wem::PerUnitBitmap();
}

void vectorIs([[maybe_unused]] void* value, std::size_t field, [[maybe_unused]] const Wem::PerUnitBitmap& v) {
  [[maybe_unused]] auto& entry = *static_cast<$table::Entry*>(value);
  switch (field) {
$vector_set_cases  }
}

void entryMake(void* out, std::uint64_t first, std::uint64_t second) {
  $make_statement
}

constexpr catalogue::ValueOps kValueOps = catalogue::valueOps<$table>(kFields, &fieldGet, &fieldIs, &vectorGet,
                                                                     &vectorIs, &entryMake);
constexpr catalogue::ShadowOps kShadowOps = VovuAsicUtils::shadowOps<$table>();
"""


def cpp_type(type_name: str) -> tuple[str, str]:
    """(value type, storage type) of a field type."""
    width = bounded_width(type_name)
    if width is not None:
        bounded = f"Orvel::BoundedUnsigned<{width}>"
        return bounded, f"{bounded}::Storage"
    return type_name, type_name


def _resolved(t: Table, f: Field) -> Field:
    while f.alias_of is not None:
        f = next(g for g in t.fields if g.name == f.alias_of)
    return f


def _accessor(t: Table, f: Field) -> str:
    if f.alias_of is not None:
        target = _resolved(t, f)
        ret, _ = cpp_type(target.type)
        param = "const Wem::PerUnitBitmap&" if target.is_vector else ret
        return fill(ALIAS, ret="Wem::PerUnitBitmap" if target.is_vector else ret, name=f.name, target=f.alias_of,
                    param=param)
    if f.is_vector:
        return fill(VECTOR, name=f.name)
    ret, storage = cpp_type(f.type)
    bounded = bounded_width(f.type) is not None
    values = dict(
        ret=ret, storage=storage, name=f.name, width=f.width, offset=f.offset, cap=f.name[0].upper() + f.name[1:],
        wrap=f"{ret}::fromBits(bits)" if bounded else "bits",
        unwrap="value.value()" if bounded else "value",
    )
    return fill(SUB_FIELDS if f.access == "subFields" else BIT_COPY, **values)


def _field_array(t: Table, name: str, members: list[str]) -> str:
    target = _resolved(t, next(f for f in t.fields if f.name == members[0]))
    ret, _ = cpp_type(target.type)
    get_cases = "".join(f"    case {i}: return {m}();\n" for i, m in enumerate(members))
    set_cases = "".join(f"    case {i}: {m}Is(value); return;\n" for i, m in enumerate(members))
    return fill(FIELD_ARRAY, ret=ret, param=ret, name=name, get_cases=get_cases, set_cases=set_cases)


def declaration(t: Table) -> str:
    key = t.key
    if key.form == "indexed":
        key_traits = fill(TRAITS_INDEXED, array_min=key.array_index[0], array_max=key.array_index[1],
                          entry_min=key.entry_index[0], entry_max=key.entry_index[1])
    else:
        key_traits = fill(TRAITS_VALUE, max=key.max)
    accessors = "".join(_accessor(t, f) + "\n" for f in t.fields)
    accessors += "".join(_field_array(t, a.name, a.fields) + "\n" for a in t.field_arrays)
    return fill(
        DECLARATION,
        table=t.name,
        type_name=t.type_name,
        entry_size=t.entry_size,
        key_traits=indent(key_traits, 2),
        key_template="IndexedEntryKey" if key.form == "indexed" else "ValueEntryKey",
        accessors=indent(accessors.rstrip("\n") + "\n", 2) if accessors else "",
    )


def key_size(t: Table) -> int:
    return 8 if t.key.form == "indexed" else 4


def layout(t: Table) -> str:
    return fill(LAYOUT, table=t.name, key_size=key_size(t), entry_bytes=key_size(t) + (t.entry_size + 3) // 4 * 4)


def _set_case(t: Table, index: int, f: Field) -> str:
    target = _resolved(t, f)
    if target.is_vector:
        return ""
    if bounded_width(target.type) is not None:
        return f"    case {index}: entry.{f.name}Is({cpp_type(target.type)[0]}(v)); return;\n"
    bits = 8 if target.type == "unsigned char" else 16
    return (f"    case {index}:\n"
            f"      if (v > 0x{(1 << bits) - 1:x}) values::throwPlainFieldRange(\"{f.name}\", {bits});\n"
            f"      entry.{f.name}Is(static_cast<{target.type}>(v));\n"
            f"      return;\n")


def operations(t: Table) -> str:
    rows = []
    get_cases, set_cases, vector_get, vector_set = [], [], [], []
    for i, f in enumerate(t.fields):
        target = _resolved(t, f)
        rows.append(f"  {{{cpp_string(f.name)}, {target.offset}, {target.width}, {cpp_string(target.type)}, "
                    f"{cpp_string(f.alias_of)}, {'true' if target.access == 'subFields' else 'false'}, "
                    f"{'true' if target.is_vector else 'false'}}},\n")
        if target.is_vector:
            vector_get.append(f"    case {i}: return entry.{f.name}();\n")
            vector_set.append(f"    case {i}: entry.{f.name}Is(v); return;\n")
        else:
            get_cases.append(f"    case {i}: return entry.{f.name}();\n")
            set_cases.append(_set_case(t, i, f))
    if t.key.form == "indexed":
        make = f"new (out) {t.name}::Entry({t.name}::EntryKey::checked(first, second));"
    else:
        make = f"(void)second;\n  new (out) {t.name}::Entry({t.name}::EntryKey::checked(first));"
    return fill(
        OPERATIONS,
        table=t.name,
        field_rows="".join(rows),
        get_cases="".join(get_cases),
        set_cases="".join(set_cases),
        vector_get_cases="".join(vector_get),
        vector_set_cases="".join(vector_set),
        make_statement=make,
    )
