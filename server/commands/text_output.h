// How texts reach a person or a program. Texts from agents (computer names,
// vendor, product, serial) are untrusted: stored as agent_text.h says (each
// UTF-16 unit one character, in UTF-8, surrogate units in their own
// three-byte form), and never shown raw, so a device name cannot steer a
// terminal, break a JSON or CSV reader, or hide behind direction marks.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vx::server {

// A JSON string of UTF-16 units, each unit one character: printable ASCII as
// it is (quote and backslash escaped), every other unit as \uXXXX, and so are
// <, > and &, so the JSON holds no markup even where a reader mistook it for
// HTML. The output is ASCII and gives back exactly the units (a lone
// surrogate as its escape).
[[nodiscard]] std::string JsonUnits(std::u16string_view units);

// JsonUnits of a stored agent text.
[[nodiscard]] std::string JsonAgentText(std::string_view stored);

// JsonUnits of a single-byte text (a rule pattern, a name of our own), each
// byte the unit of the same value.
[[nodiscard]] std::string JsonBytes(std::string_view bytes);

// A CSV field (RFC 4180) of a stored agent text in strict UTF-8: a surrogate
// unit becomes U+FFFD; a field holding a comma, a quote, CR or LF stands
// between quotes with each quote doubled. Nothing else is changed.
[[nodiscard]] std::string CsvAgentText(std::string_view stored);

// A stored agent text for a terminal, in strict UTF-8: control units (below
// 0x20, 0x7F to 0x9F) and the marks that reorder text (U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069) written as \xHH or \uXXXX, a backslash
// as \\, a surrogate unit as U+FFFD.
[[nodiscard]] std::string ShownAgentText(std::string_view stored);

// The number of characters ShownAgentText's output takes (for columns).
[[nodiscard]] std::size_t ShownWidth(std::string_view shown);

// Rows of cells (already shown: ShownAgentText for agent texts) in columns two
// blanks apart, each as wide as its widest cell; the first row is the header.
void WriteColumns(const std::vector<std::vector<std::string>>& rows, std::ostream& out);

}  // namespace vx::server
