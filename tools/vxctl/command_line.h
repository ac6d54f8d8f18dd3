// vxctl's command line read into words and options, before the command is
// known: each option's shape (a flag, a value, or --exact's list of fields)
// is the same for every command that takes it, so the line can be read first
// and checked against the command's own options after.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vx {

// How an option is written.
enum class OptionShape {
  kFlag,    // --json
  kValue,   // --vendor TEXT
  kFields,  // --exact FIELD... (one word or more up to the next option)
};

// The shape of option `name` (without its dashes); nullopt for no option vxctl knows.
[[nodiscard]] std::optional<OptionShape> ShapeOfOption(const std::string& name);

struct CommandLine {
  std::vector<std::string> words;             // every word that is not an option or its value, in order
  std::map<std::string, std::string> values;  // --vendor TEXT
  std::set<std::string> flags;                // --json, --off, --help
  std::vector<std::string> exactFields;       // --exact FIELD...
  std::vector<std::string> given;             // each option named, without its dashes, in order
};

// Reads `args` into `line`; the message of what is malformed (an unknown
// option, a value missing or given twice), nothing else checked.
[[nodiscard]] std::optional<std::string> ReadCommandLine(const std::vector<std::string>& args, CommandLine& line);

}  // namespace vx
