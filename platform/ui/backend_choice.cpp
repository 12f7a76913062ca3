// The one place a backend is chosen: KOV02_UI=gtk or console; unset, gtk where a display is
// reachable and the console otherwise.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "devices/devices.h"
#include "windowing/backend.h"

namespace kov02::ui {
namespace {

bool display_named() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

}  // namespace

std::unique_ptr<Backend> choose_backend() {
  const char* variable = std::getenv("KOV02_UI");
  const std::string_view choice = variable != nullptr ? variable : "";
  if (!choice.empty() && choice != "gtk" && choice != "console") {
    std::fprintf(stderr, "KOV02_UI must be gtk or console, not \"%s\": choosing by display\n", variable);
  }
  if (choice != "console" && (choice == "gtk" || display_named())) {
    if (auto gtk = make_gtk_backend()) {
      // The desktop's polkit agent can ask for a password; the console's stdin cannot.
      devices::set_interactive_authorisation(true);
      return gtk;
    }
    if (choice == "gtk") std::fprintf(stderr, "KOV02_UI=gtk: no display can be opened, using the console\n");
  }
  return make_console_backend(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}

}  // namespace kov02::ui
