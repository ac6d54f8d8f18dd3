#include "management/protocol/policy_list.h"

#include <algorithm>
#include <string_view>

#include "management/protocol/bounded_reader.h"
#include "management/protocol/little_endian.h"

namespace vx::management {
namespace {

// Key length and kind: the smallest entry a body can hold (an empty key of a
// kind without a value).
constexpr std::size_t kSmallestEntry = 8;

std::size_t EncodedEntrySize(const PolicyEntry& entry) {
  std::size_t size = 4 + entry.key.size() + 4;
  if (entry.kind == kNumberEntry) size += 4;
  if (entry.kind == kTextEntry) size += 4 + 2 * entry.text.size();
  return size;
}

using detail::BoundedReader;

// One entry, or false when the body ends before the entry does.
[[nodiscard]] bool ReadEntry(BoundedReader& reader, PolicyEntry& entry) {
  uint32_t keyLength = 0;
  const uint8_t* key = nullptr;
  if (!reader.ReadU32(keyLength) || !reader.Take(keyLength, key) || !reader.ReadU32(entry.kind)) return false;
  entry.key.assign(key, std::find(key, key + keyLength, uint8_t{0}));

  if (entry.kind == kNumberEntry) {
    uint32_t number = 0;
    if (!reader.ReadU32(number)) return false;
    entry.number = static_cast<int32_t>(number);
  } else if (entry.kind == kTextEntry) {
    uint32_t textLength = 0;
    const uint8_t* text = nullptr;
    if (!reader.ReadU32(textLength) || !reader.Take(textLength, text)) return false;
    // n / 2 whole units (an odd last byte is dropped), up to the first 0 unit.
    const std::size_t units = textLength / 2;
    std::size_t length = 0;
    while (length < units && GetU16(text + 2 * length) != 0) ++length;
    entry.text.resize(length);
    for (std::size_t i = 0; i < length; ++i) entry.text[i] = GetU16(text + 2 * i);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> EncodePolicyList(std::vector<PolicyEntry> entries) {
  // std::string_view compares its characters as unsigned char, so this is the
  // byte order with a prefix before its extensions.
  std::stable_sort(entries.begin(), entries.end(), [](const PolicyEntry& a, const PolicyEntry& b) {
    return std::string_view(a.key) < std::string_view(b.key);
  });
  return EncodePolicyListInOrder(entries);
}

std::vector<uint8_t> EncodePolicyListInOrder(std::span<const PolicyEntry> entries) {
  std::size_t size = 4;
  for (const PolicyEntry& entry : entries) size += EncodedEntrySize(entry);

  // One allocation of the exact size, then written in place.
  std::vector<uint8_t> bytes(size);
  uint8_t* out = bytes.data();
  auto putU32 = [&out](uint32_t value) {
    PutU32(out, value);
    out += 4;
  };
  putU32(static_cast<uint32_t>(entries.size()));
  for (const PolicyEntry& entry : entries) {
    putU32(static_cast<uint32_t>(entry.key.size()));
    out = std::copy(entry.key.begin(), entry.key.end(), out);
    putU32(entry.kind);
    if (entry.kind == kNumberEntry) putU32(static_cast<uint32_t>(entry.number));
    if (entry.kind == kTextEntry) {
      putU32(static_cast<uint32_t>(2 * entry.text.size()));
      for (char16_t unit : entry.text) {
        PutU16(out, unit);
        out += 2;
      }
    }
  }
  return bytes;
}

DecodedPolicyList DecodePolicyList(const uint8_t* bytes, std::size_t size) {
  DecodedPolicyList list;
  BoundedReader reader(bytes, size);
  uint32_t count = 0;
  if (!reader.ReadU32(count)) {
    list.complete = false;
    return list;
  }
  // A count can claim four billion entries; the body can hold only so many.
  list.entries.reserve(std::min<std::size_t>(count, reader.Remaining() / kSmallestEntry));
  for (uint32_t i = 0; i < count; ++i) {
    PolicyEntry entry;
    if (!ReadEntry(reader, entry)) {
      list.complete = false;
      break;
    }
    list.entries.push_back(std::move(entry));
  }
  return list;
}

}  // namespace vx::management
