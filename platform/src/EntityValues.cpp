// The entity framework's string form, parser and type registry.
#include <charconv>
#include <deque>
#include <mutex>

#include <fmt/format.h>

#include "Zev/CharRange.h"
#include "Zev/TypeRegistry.h"

namespace Zev {

bool CharRange::take(std::string_view literal) noexcept {
  if (rest().substr(0, literal.size()) != literal) return false;
  at_ += literal.size();
  return true;
}

void CharRange::expect(std::string_view literal) {
  if (!take(literal)) fail(fmt::format("expected \"{}\"", literal));
}

std::uint64_t CharRange::number() {
  std::string_view r = rest();
  int base = 10;
  std::size_t skip = 0;
  if (r.size() > 2 && r[0] == '0' && (r[1] == 'x' || r[1] == 'X')) {
    base = 16;
    skip = 2;
  }
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(r.data() + skip, r.data() + r.size(), value, base);
  if (end == r.data() + skip) fail("expected a number");
  if (ec == std::errc::result_out_of_range) fail("number too large");
  at_ += static_cast<std::size_t>(end - r.data());
  return value;
}

void CharRange::fail(std::string_view what) const {
  throw ParseException(fmt::format("{} at offset {} in \"{}\"", what, at_, text_));
}

std::uint64_t desAttrPre(CharRange& range, std::string_view typeName, std::string_view attrName) {
  range.expect(typeName);
  range.expect("(");
  range.expect(attrName);
  range.expect("=");
  return range.number();
}

std::uint64_t desAttrPost(CharRange& range, std::string_view attrName) {
  range.expect(",");
  range.expect(attrName);
  range.expect("=");
  const std::uint64_t value = range.number();
  range.expect(")");
  return value;
}

std::uint64_t deserializeAttr(CharRange& range, std::string_view typeName, std::string_view attrName) {
  // A bare number, or the full form.
  const std::string_view rest = range.rest();
  if (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') return range.number();
  const std::uint64_t value = desAttrPre(range, typeName, attrName);
  range.expect(")");
  return value;
}

void CharRangeCheckAllDataConsumed(const CharRange& range) {
  if (!range.empty()) range.fail(fmt::format("unexpected text \"{}\"", range.rest()));
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xf];
  }
  return text;
}

namespace {
struct Registry {
  std::mutex mutex;
  std::deque<TypeInfo> types;
};
Registry& registry() {
  static Registry r;
  return r;
}
}  // namespace

void typeInfoIs(const TypeInfo& info) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (TypeInfo& t : r.types) {
    if (std::string_view(t.name) == info.name) {
      t = info;
      return;
    }
  }
  r.types.push_back(info);
}

void typeInfoDel(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (auto it = r.types.begin(); it != r.types.end(); ++it) {
    if (name == it->name) {
      r.types.erase(it);
      return;
    }
  }
}

const TypeInfo* typeInfo(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const TypeInfo& t : r.types) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

std::vector<const TypeInfo*> typeInfos() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const TypeInfo*> result;
  for (const TypeInfo& t : r.types) result.push_back(&t);
  return result;
}

std::uint32_t hashValue(const TypeInfo& type, const void* value) {
  if (!type.hash) throw NonHashableTypeException(fmt::format("type {} is not hashable", type.name));
  return type.hash(value, 0);
}

}  // namespace Zev
