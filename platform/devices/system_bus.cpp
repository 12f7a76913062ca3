// Private system-bus connections and the calls the built-in drivers make over them.
#include "devices/system_bus.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string_view>

namespace kov02::devices::bus {
namespace {

constexpr const char* kServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";

void take(GError* error, Failure* failure) {
  if (g_dbus_error_is_remote_error(error)) {
    gchar* name = g_dbus_error_get_remote_error(error);
    failure->name = name;
    g_free(name);
    g_dbus_error_strip_remote_error(error);
  } else {
    failure->name = std::string("gio.") + std::to_string(error->code);
  }
  failure->timed_out = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
  failure->message = error->message;
  g_error_free(error);
}

struct Meaning {
  std::string_view name;
  Refusal refusal;
};

constexpr std::array kMeanings = {
    Meaning{kServiceUnknown, Refusal::absent},
    Meaning{"org.freedesktop.DBus.Error.NameHasNoOwner", Refusal::absent},
    Meaning{"org.freedesktop.DBus.Error.AccessDenied", Refusal::denied},
    Meaning{"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", Refusal::denied},
    Meaning{"org.freedesktop.ModemManager1.Error.Core.Unauthorized", Refusal::denied},
    Meaning{"org.freedesktop.ModemManager1.Error.Core.InProgress", Refusal::busy},
    Meaning{"org.freedesktop.login1.OperationInProgress", Refusal::busy},
    Meaning{"org.freedesktop.DBus.Error.NoReply", Refusal::timeout},
    Meaning{"org.freedesktop.DBus.Error.Timeout", Refusal::timeout},
    Meaning{"org.freedesktop.DBus.Error.TimedOut", Refusal::timeout},
};

}  // namespace

Refusal classify(const Failure& failure) {
  if (failure.timed_out) return Refusal::timeout;
  for (const Meaning& meaning : kMeanings) {
    if (failure.name == meaning.name) return meaning.refusal;
  }
  return Refusal::other;
}

DWORD error_for(Refusal refusal) {
  switch (refusal) {
    case Refusal::denied:
      return ERROR_ACCESS_DENIED;
    case Refusal::busy:
      return ERROR_BUSY;
    case Refusal::timeout:
      return ERROR_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

namespace {

// Whether a system bus can be there at all: most containers and build machines have none, and
// then GIO need not be started for nothing (the update asks for its guard on every run).
bool bus_may_exist() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return (address && *address) || ::access("/run/dbus/system_bus_socket", F_OK) == 0 ||
         ::access("/var/run/dbus/system_bus_socket", F_OK) == 0;
}

}  // namespace

std::unique_ptr<Connection> Connection::open(Failure* failure) {
  if (!bus_may_exist()) {
    failure->name = kServiceUnknown;
    failure->message = "no system bus";
    return nullptr;
  }
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  GDBusConnection* connection = nullptr;
  if (address) {
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                         G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    connection = g_dbus_connection_new_for_address_sync(address, flags, nullptr, nullptr, &error);
    g_free(address);
  }
  if (connection) return std::unique_ptr<Connection>(new Connection(connection));
  take(error, failure);
  failure->message = "no system bus: " + failure->message;
  failure->name = kServiceUnknown;
  return nullptr;
}

Connection::~Connection() {
  // Closing is what tells a service that holds something for this caller to let it go.
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
}

Variant Connection::call(const Call& call, Failure* failure, int* fd) {
  auto flags =
      static_cast<GDBusCallFlags>(G_DBUS_CALL_FLAGS_NO_AUTO_START |
                                  (call.interactive ? G_DBUS_CALL_FLAGS_ALLOW_INTERACTIVE_AUTHORIZATION : 0));
  const GVariantType* type = call.reply_type ? G_VARIANT_TYPE(call.reply_type) : nullptr;
  const int timeout = call.timeout_ms < 0 ? G_MAXINT : call.timeout_ms;
  GError* error = nullptr;
  GUnixFDList* fds = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      connection_, call.service, call.path, call.interface, call.method, call.arguments, type, flags, timeout,
      nullptr, fd ? &fds : nullptr, nullptr, &error);
  if (fd) {
    *fd = fds && g_unix_fd_list_get_length(fds) > 0 ? g_unix_fd_list_get(fds, 0, nullptr) : -1;
    if (fds) g_object_unref(fds);
  }
  if (!reply) take(error, failure);
  return Variant(reply);
}

}  // namespace kov02::devices::bus
