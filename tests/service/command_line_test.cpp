#include "service/command_line.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

TEST(CommandLine, TheWholeTailChoosesTheRoleIgnoringCase) {
  const std::pair<const wchar_t*, Command> cases[] = {
      {L"/r", Command::ConsoleRun},   {L"/R", Command::ConsoleRun},  {L"/i", Command::Install},
      {L"/I", Command::Install},      {L"/u", Command::Remove},      {L"/U", Command::Remove},
      {L"", Command::Dispatcher},     {L"/r ", Command::Dispatcher}, {L" /r", Command::Dispatcher},
      {L"/r x", Command::Dispatcher}, {L"-r", Command::Dispatcher},  {L"r", Command::Dispatcher},
      {L"/x", Command::Dispatcher},   {L"/ri", Command::Dispatcher}, {L"/\u0130", Command::Dispatcher},
  };
  for (const auto& [tail, command] : cases) EXPECT_EQ(ParseCommandTail(tail), command) << '"' << tail << '"';
}

}  // namespace
}  // namespace vx
