// Calls to system services over D-Bus (GDBus from GIO), for the built-in drivers: ModemManager
// and logind. Each user opens a private connection of its own rather than GIO's shared one,
// which would end the whole process when the bus daemon restarts, and which other code could
// close under it. Calls never start a service that is not running (NO_AUTO_START).
#pragma once

// The face first: it defines TRUE and FALSE as the handset does, and GLib then keeps them.
#include <kov02/ce.h>
// clang-format off
#include <gio/gio.h>
// clang-format on

#include <memory>
#include <string>

namespace kov02::devices::bus {

struct VariantUnref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// Why a call failed: the D-Bus error name (or a GIO one for local failures) and its message.
struct Failure {
  std::string name;
  std::string message;
  bool timed_out = false;
};

// What a failure means to the caller.
enum class Refusal { absent, denied, busy, timeout, other };
Refusal classify(const Failure& failure);
// The handset's error code for a refusal: ERROR_ACCESS_DENIED, ERROR_BUSY, ERROR_TIMEOUT, or
// ERROR_GEN_FAILURE (absent too: a caller that treats absence as success checks first).
DWORD error_for(Refusal refusal);

struct Call {
  const char* service;
  const char* path;
  const char* interface;
  const char* method;
  GVariant* arguments = nullptr;  // floating references are taken over
  const char* reply_type = nullptr;
  int timeout_ms = 25000;  // -1: no limit
  bool interactive = false;
};

// A private connection to the system bus, closed when it goes.
class Connection {
 public:
  // Null with `failure` set when the bus cannot be reached (its name is then ...ServiceUnknown
  // for the caller's sake: no bus means no service).
  static std::unique_ptr<Connection> open(Failure* failure);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The reply, or null with `failure` set. `fd`, when given, receives the first file descriptor
  // the reply carried (-1 when none), owned by the caller.
  Variant call(const Call& call, Failure* failure, int* fd = nullptr);

 private:
  explicit Connection(GDBusConnection* connection) : connection_(connection) {}
  GDBusConnection* connection_;
};

}  // namespace kov02::devices::bus
