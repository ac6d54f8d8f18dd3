// The role the program plays, chosen by its whole command-line tail.
#pragma once

#include <string_view>

namespace vx {

enum class Command {
  ConsoleRun,  // "/r": run the monitor on the main thread
  Install,     // "/i"
  Remove,      // "/u"
  Dispatcher,  // anything else: hand the main thread to the service dispatcher
};

// Compares the whole tail, ignoring case: "/R" is a console run, "/r x" or
// "/r " is not.
Command ParseCommandTail(std::wstring_view tail);

}  // namespace vx
