#include "tools/vxctl/command_line.h"

#include <algorithm>

namespace vx {
namespace {

struct KnownOption {
  const char* name;
  OptionShape shape;
};

constexpr KnownOption kKnownOptions[] = {
    {"help", OptionShape::kFlag},      {"json", OptionShape::kFlag},     {"off", OptionShape::kFlag},
    {"exact", OptionShape::kFields},   {"vendor", OptionShape::kValue},  {"product", OptionShape::kValue},
    {"revision", OptionShape::kValue}, {"serial", OptionShape::kValue},  {"action", OptionShape::kValue},
    {"at", OptionShape::kValue},       {"cdrom", OptionShape::kValue},   {"floppy", OptionShape::kValue},
    {"password", OptionShape::kValue}, {"current", OptionShape::kValue}, {"new", OptionShape::kValue},
    {"host", OptionShape::kValue},
};

bool IsOption(const std::string& arg) { return arg.rfind("--", 0) == 0; }

}  // namespace

std::optional<OptionShape> ShapeOfOption(const std::string& name) {
  for (const KnownOption& option : kKnownOptions)
    if (name == option.name) return option.shape;
  return std::nullopt;
}

std::optional<std::string> ReadCommandLine(const std::vector<std::string>& args, CommandLine& line) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!IsOption(arg)) {
      line.words.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    const std::optional<OptionShape> shape = ShapeOfOption(name);
    if (!shape) return "unknown option " + arg;
    const bool repeated = std::find(line.given.begin(), line.given.end(), name) != line.given.end();
    line.given.push_back(name);
    switch (*shape) {
      case OptionShape::kFlag:
        line.flags.insert(name);
        break;
      case OptionShape::kFields: {
        const std::size_t before = line.exactFields.size();
        while (i + 1 < args.size() && !IsOption(args[i + 1])) line.exactFields.push_back(args[++i]);
        if (line.exactFields.size() == before) return arg + " needs at least one field";
        break;
      }
      case OptionShape::kValue:
        if (i + 1 >= args.size()) return arg + " needs a value";
        if (repeated) return arg + " is given twice";
        line.values[name] = args[++i];
        break;
    }
  }
  return std::nullopt;
}

}  // namespace vx
