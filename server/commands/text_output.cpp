#include "server/commands/text_output.h"

#include <algorithm>
#include <cstdio>

#include "server/store/agent_text.h"

namespace vx::server {
namespace {

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

bool IsControl(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

bool ReordersText(char16_t unit) {
  return unit == 0x200E || unit == 0x200F || (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069);
}

void AppendUtf8(std::string& out, char16_t unit) {
  const uint32_t value = IsSurrogate(unit) ? 0xFFFD : unit;
  if (value < 0x80) {
    out += static_cast<char>(value);
  } else if (value < 0x800) {
    out += static_cast<char>(0xC0 | (value >> 6));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (value >> 12));
    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  }
}

std::string Escape(const char* format, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, format, value);
  return escaped;
}

}  // namespace

std::string JsonUnits(std::u16string_view units) {
  std::string json = "\"";
  for (char16_t unit : units) {
    if (unit == u'"' || unit == u'\\') {
      json += '\\';
      json += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7F && unit != u'<' && unit != u'>' && unit != u'&') {
      json += static_cast<char>(unit);
    } else {
      json += Escape("\\u%04x", unit);
    }
  }
  return json + "\"";
}

std::string JsonAgentText(std::string_view stored) { return JsonUnits(AgentTextUnits(stored)); }

std::string JsonBytes(std::string_view bytes) {
  std::u16string units;
  for (char c : bytes) units += static_cast<char16_t>(static_cast<unsigned char>(c));
  return JsonUnits(units);
}

std::string CsvAgentText(std::string_view stored) {
  std::string field;
  bool quote = false;
  for (char16_t unit : AgentTextUnits(stored)) {
    if (unit == u',' || unit == u'\r' || unit == u'\n') quote = true;
    if (unit == u'"') {
      quote = true;
      field += '"';
    }
    AppendUtf8(field, unit);
  }
  return quote ? "\"" + field + "\"" : field;
}

std::string ShownAgentText(std::string_view stored) {
  std::string shown;
  for (char16_t unit : AgentTextUnits(stored)) {
    if (unit == u'\\')
      shown += "\\\\";
    else if (IsControl(unit))
      shown += Escape("\\x%02X", unit);
    else if (ReordersText(unit))
      shown += Escape("\\u%04X", unit);
    else
      AppendUtf8(shown, unit);
  }
  return shown;
}

std::size_t ShownWidth(std::string_view shown) {
  std::size_t width = 0;
  for (char c : shown)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  return width;
}

void WriteColumns(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], ShownWidth(row[c]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - ShownWidth(row[c]) + 2, ' ');
    }
    out << line << "\n";
  }
}

}  // namespace vx::server
