#include "service/command_line.h"

namespace vx {
namespace {

bool IsSwitch(std::wstring_view tail, wchar_t letter) {
  return tail.size() == 2 && tail[0] == L'/' && (tail[1] == letter || tail[1] == letter - L'a' + L'A');
}

}  // namespace

Command ParseCommandTail(std::wstring_view tail) {
  if (IsSwitch(tail, L'r')) return Command::ConsoleRun;
  if (IsSwitch(tail, L'i')) return Command::Install;
  if (IsSwitch(tail, L'u')) return Command::Remove;
  return Command::Dispatcher;
}

}  // namespace vx
