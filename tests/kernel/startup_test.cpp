#include "main/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "registry/registry.h"
#include "temp_dir.h"

namespace kov02::kernel {
namespace {

class StartupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    ::unsetenv("KOV02_REGISTRY");
    registry::clear();
    std::string ignored;
    start_platform(&ignored);
  }
  // Sets (or with null unsets) a variable until the test ends.
  void set(const std::string& name, const char* value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      ::setenv(name.c_str(), value, 1);
    else
      ::unsetenv(name.c_str());
  }
  test_support::TempDir dir_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// A descriptor 0 closed at start is held by /dev/null, so no port opened later takes its number.
TEST_F(StartupTest, AClosedStandardDescriptorIsHeldByDevNull) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(0);
    std::string error;
    struct stat held {
    }, null{};
    const bool ok = start_platform(&error) && ::fstat(0, &held) == 0 && ::stat("/dev/null", &null) == 0 &&
                    held.st_rdev == null.st_rdev;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Without a registry file (unset or empty) start-up goes on with an empty registry; a fault in
// the file, or a debug file that cannot be opened, stops it.
TEST_F(StartupTest, TheRegistryFileIsLoadedAndItsFaultsOrAnUnopenableDebugFileStopStartUp) {
  std::string error;
  ::setenv("KOV02_REGISTRY", "", 1);
  EXPECT_TRUE(start_platform(&error)) << error;
  ::unsetenv("KOV02_REGISTRY");
  EXPECT_TRUE(start_platform(&error)) << error;
  const std::string good =
      dir_.write("good.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:3\n");
  ::setenv("KOV02_REGISTRY", good.c_str(), 1);
  ASSERT_TRUE(start_platform(&error)) << error;
  EXPECT_TRUE(registry::lookup(L"Drivers\\BuiltIn\\Serial", L"Index"));

  const std::string bad = dir_.write("bad.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"open\n");
  ::setenv("KOV02_REGISTRY", bad.c_str(), 1);
  EXPECT_FALSE(start_platform(&error));
  EXPECT_EQ(error, bad + ":3: unterminated string");

  const std::string debug = dir_.write(
      "debug.reg",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n\"Output\"=\"file:" + dir_.file("no/log") + "\"\n");
  ::setenv("KOV02_REGISTRY", debug.c_str(), 1);
  EXPECT_FALSE(start_platform(&error));
  EXPECT_NE(error.find(dir_.file("no/log")), std::string::npos) << error;
}

// The places follow the XDG rules (defaults, absolute folders only); KOV02_REGISTRY, when set,
// is the only place, and a missing file there stops start-up.
TEST_F(StartupTest, TheRegistryPlacesFollowTheXdgRulesAndKov02RegistryStandsAlone) {
  set("XDG_CONFIG_HOME", nullptr);
  set("XDG_CONFIG_DIRS", "/a:relative:/b");
  set("HOME", "/home/u");
  EXPECT_EQ(
      registry::registry_places_text(),
      "/home/u/.config/kov02tool/kov02tool.reg, /a/kov02tool/kov02tool.reg, /b/kov02tool/kov02tool.reg, "
      "/etc/kov02tool/kov02tool.reg");
  set("XDG_CONFIG_DIRS", nullptr);
  EXPECT_EQ(registry::registry_places().at(1), "/etc/xdg/kov02tool/kov02tool.reg");
  set("KOV02_REGISTRY", dir_.file("absent.reg").c_str());
  std::string error;
  EXPECT_FALSE(load_registry(&error));
  EXPECT_EQ(error.find(dir_.file("absent.reg")), 0u) << error;
}

}  // namespace
}  // namespace kov02::kernel
