// The administration commands as a person runs them: the vxmgmtd program
// itself, its exit codes and messages on standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "server/store/sqlite_store.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

struct ProgramRun {
  int exitCode = -1;
  std::string errors;
};

// Runs vxmgmtd with `arguments` (already quoted for the shell); keeps
// standard error only.
ProgramRun Vxmgmtd(const std::string& arguments) {
  ProgramRun run;
  const std::string command = std::string("'") + VX_VXMGMTD + "' " + arguments + " 2>&1 >/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 512> buffer{};
  std::size_t read = 0;
  while ((read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.errors.append(buffer.data(), read);
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(AdministrationProgram, ExitCodesAndMessages) {
  test::TempDir dir;
  const std::string db = "--db '" + (dir / "vxmgmtd.db").string() + "'";
  {
    StoreResult<std::unique_ptr<Store>> opened = OpenSqliteStore(dir / "vxmgmtd.db");
    ASSERT_TRUE(opened) << opened.error();
  }
  struct Case {
    std::string arguments;
    int exitCode;
    std::string errors;  // the start of standard error
  };
  const Case cases[] = {
      {"agents " + db, 0, ""},
      {"policy set --all --cdrom unlocked " + db, 0, ""},
      {"policy set --all --rule 'deny vendor Acme' " + db, 2,
       "vxmgmtd: --rule \"deny vendor Acme\" (rule 1): \"deny\" is not an action"},
      {"policy set --all --colour red " + db, 2, "The following arguments were not expected: red --colour"},
      {"policy set --all --lock rules " + db, 2, ""},
      {"reports --json --csv " + db, 2, ""},
      {"agents approve a00000000000000000000000000000ff " + db, 1,
       "vxmgmtd: no agent a00000000000000000000000000000ff"},
      {"policy set --all --cdrom unlocked " + db, 1, "vxmgmtd: the fleet default is that already; nothing to do"},
      {"agents --db '" + (dir / "missing.db").string() + "'", 3, "vxmgmtd: there is no store at "},
      {"agents --help", 0, ""},
  };
  for (const Case& c : cases) {
    const ProgramRun run = Vxmgmtd(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << "\n" << run.errors;
    EXPECT_EQ(run.errors.rfind(c.errors, 0), 0u) << c.arguments << "\n" << run.errors;
    if (c.exitCode == 0) {
      EXPECT_EQ(run.errors, "") << c.arguments;
    }
  }
}

}  // namespace
}  // namespace vx::server
