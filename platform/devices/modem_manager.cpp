// ModemManager's inhibition of the modem that owns a tty, over a private system-bus connection.
#include "devices/modem_manager.h"

#include <optional>

#include "devices/system_bus.h"

namespace kov02::devices {
namespace {

constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
// Letting go closes every port of the modem; a busy daemon may take a while.
constexpr int kInhibitTimeoutMs = 20000;

// Plain words for a refusal, pointing where the set-ups are written down.
std::string refusal_words(bus::Refusal refusal, const bus::Failure& failure) {
  switch (refusal) {
    case bus::Refusal::denied:
      return "only root may do this here (see kov02tool.reg(5))";
    case bus::Refusal::busy:
      return "another program has it inhibited already";
    case bus::Refusal::timeout:
      return "no answer in time";
    default:
      return failure.name + ": " + failure.message;
  }
}

// The Device (uid) of the modem among `modems` whose Ports hold `port_name`.
std::optional<std::string> owner_of(GVariant* interfaces, const std::string& port_name) {
  bus::Variant modem(g_variant_lookup_value(interfaces, kModemInterface, G_VARIANT_TYPE("a{sv}")));
  if (!modem) return std::nullopt;
  bus::Variant ports(g_variant_lookup_value(modem.get(), "Ports", G_VARIANT_TYPE("a(su)")));
  bus::Variant device(g_variant_lookup_value(modem.get(), "Device", G_VARIANT_TYPE_STRING));
  if (!ports || !device) return std::nullopt;
  GVariantIter iter;
  g_variant_iter_init(&iter, ports.get());
  const gchar* name = nullptr;
  guint32 type = 0;
  while (g_variant_iter_next(&iter, "(&su)", &name, &type)) {
    if (port_name == name) return std::string(g_variant_get_string(device.get(), nullptr));
  }
  return std::nullopt;
}

// The uid of the modem owning `port_name`; nullopt when none does, or the failure in `failure`.
std::optional<std::string> find_uid(bus::Connection& connection, const std::string& port_name,
                                    bus::Failure* failure) {
  bus::Variant reply = connection.call({kService, kPath, "org.freedesktop.DBus.ObjectManager",
                                        "GetManagedObjects", nullptr, "(a{oa{sa{sv}}})"},
                                       failure);
  if (!reply) return std::nullopt;
  bus::Variant objects(g_variant_get_child_value(reply.get(), 0));
  GVariantIter iter;
  g_variant_iter_init(&iter, objects.get());
  const gchar* path = nullptr;
  GVariant* interfaces = nullptr;
  while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    bus::Variant owned(interfaces);
    if (auto uid = owner_of(interfaces, port_name)) return uid;
  }
  return std::nullopt;
}

bus::Variant inhibit(bus::Connection& connection, const std::string& uid, bool on, bus::Failure* failure) {
  return connection.call({kService, kPath, kService, "InhibitDevice", g_variant_new("(sb)", uid.c_str(), on),
                          "()", kInhibitTimeoutMs},
                         failure);
}

}  // namespace

ModemInhibition::ModemInhibition(std::unique_ptr<bus::Connection> connection, std::string uid)
    : connection_(std::move(connection)), uid_(std::move(uid)) {}

ModemInhibition::~ModemInhibition() = default;

DWORD ModemInhibition::take(const std::string& port_name, std::unique_ptr<ModemInhibition>* held,
                            std::string* note, std::string* reason) {
  held->reset();
  bus::Failure failure;
  std::unique_ptr<bus::Connection> connection = bus::Connection::open(&failure);
  std::optional<std::string> uid;
  if (connection) uid = find_uid(*connection, port_name, &failure);
  if (connection && uid && inhibit(*connection, *uid, true, &failure)) {
    held->reset(new ModemInhibition(std::move(connection), *uid));
    return ERROR_SUCCESS;
  }
  const bus::Refusal refusal = failure.name.empty() ? bus::Refusal::absent : bus::classify(failure);
  if (refusal == bus::Refusal::absent) {
    *note =
        failure.name.empty() ? "no modem of ModemManager owns " + port_name : "ModemManager is not running";
    return ERROR_SUCCESS;
  }
  *reason = refusal_words(refusal, failure);
  return bus::error_for(refusal);
}

DWORD ModemInhibition::lift(std::string* reason) {
  bus::Failure failure;
  const bool lifted = inhibit(*connection_, uid_, false, &failure) != nullptr;
  connection_.reset();
  if (lifted) return ERROR_SUCCESS;
  const bus::Refusal refusal = bus::classify(failure);
  // Gone from the bus meanwhile: it holds nothing for anyone now.
  if (refusal == bus::Refusal::absent) return ERROR_SUCCESS;
  *reason = refusal_words(refusal, failure);
  return bus::error_for(refusal);
}

}  // namespace kov02::devices
