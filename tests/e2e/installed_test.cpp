// The tool as a Linux user meets it: the registry file found where Linux keeps configuration,
// without KOV02_REGISTRY, and failures followed by a line saying what is wrong and where.
#include <gtest/gtest.h>

#include "e2e_tool.h"

namespace {

using namespace e2e;

// Configuration folders of a pretend user and system, and the tool started with them.
class ConfigurationPlaces : public ::testing::Test {
 protected:
  fs::path Put(const std::string& folder, const Registry& registry) {
    const fs::path file = config / folder / "kov02tool/kov02tool.reg";
    fs::create_directories(file.parent_path());
    write_file(file, registry.text());
    return file;
  }
  std::map<std::string, std::string> Env() const {
    return {{"KOV02_REGISTRY", ""},
            {"XDG_CONFIG_HOME", (config / "home").string()},
            {"XDG_CONFIG_DIRS", (config / "sys").string()}};
  }
  // Whether --help says `text`.
  bool HelpSays(const std::string& text) {
    auto help = folder.spawn(Env(), 0, {"--help"});
    return help->wait_exit(20s) == 0 && help->transcript().find(text) != std::string::npos;
  }
  // Starts the tool, chooses Suspend RIL, waits for `shown`, and exits.
  void SuspendShows(const std::string& shown) {
    auto tool = folder.spawn(Env());
    ASSERT_TRUE(ui_ready(*tool)) << tool->transcript();
    tool->send_line("menu System/Suspend RIL");
    EXPECT_TRUE(tool->wait_for(shown, 20s)) << tool->transcript();
    tool->send_line("command 101");
    EXPECT_EQ(tool->wait_exit(20s), 0);
  }
  ProgramFolder folder;
  TempDir config{"kov02-config"};
};

TEST_F(ConfigurationPlaces, TheUsersFileComesFirstThenTheSystemsAndHelpNamesTheOneInUse) {
  Registry mapped = folder.base_registry();
  mapped.key(REG_DEVICES).sz("RIL1:", "exec:/bin/true");
  const fs::path users = Put("home", mapped);
  const fs::path systems = Put("sys", folder.base_registry());
  EXPECT_TRUE(HelpSays("Registry file in use: " + users.string()));
  SuspendShows("RIL has been suspended");

  fs::remove(users);
  EXPECT_TRUE(HelpSays("Registry file in use: " + systems.string()));
  SuspendShows("RIL1: not mapped in " + systems.string());

  fs::remove(systems);
  if (fs::exists("/etc/kov02tool/kov02tool.reg")) GTEST_SKIP() << "this machine has a system-wide file";
  SuspendShows("RIL1: not mapped in no registry file");
  const std::string notice = "notice: no configuration found (looked in " + (config / "home").string();
  EXPECT_NE(read_file(folder.stderr_file()).find(notice), std::string::npos);
}

// A failing hook, a hook in a folder anyone may change, a side without "Index": each is explained.
TEST(ReasonLines, EachFailureNamesWhatIsWrongAndTheFileToChange) {
  ProgramFolder folder;
  TempDir hooks("kov02-hooks");
  const std::string fail = hooks.write("fail.sh", "#!/bin/sh\nexit 3\n", 0700);
  fs::create_directory(hooks / "open");
  const std::string open = hooks.write("open/ok.sh", "#!/bin/sh\nexit 0\n", 0700);
  ::chmod((hooks / "open").c_str(), 0777);
  Registry registry = folder.base_registry();
  registry.key(REG_DEVICES).sz("RIL1:", "exec:" + fail);
  registry.key(REG_KERNEL).sz("Reboot", "exec:" + open);
  auto tool = folder.start(registry);
  ASSERT_TRUE(ui_ready(*tool)) << tool->transcript();
  const std::string file = folder.registry_file().string();
  const std::pair<std::string, std::string> expected[] = {
      {"menu System/Reset RIL Module", "RIL1: hook " + fail + " exited with status 3"},
      {"menu System/Reboot Device", "Reboot: hook " + open + " refused: its folder is writable by others"},
      {"menu System/Get COMs",
       "FFUART: no \"Index\" under [HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial] in " + file},
  };
  for (const auto& [command, line] : expected) {
    tool->send_line(command);
    EXPECT_TRUE(tool->wait_for(line, 20s)) << tool->transcript();
  }
  tool->send_line("command 101");
  EXPECT_EQ(tool->wait_exit(20s), 0);
}

}  // namespace
