#include "faults.hpp"

#include <array>
#include <utility>

namespace kov02a_sim {
namespace {

constexpr std::array<std::pair<std::string_view, AckPoint>, 6> kPointNames{{
    {"stage1", AckPoint::Stage1},
    {"stage2", AckPoint::Stage2},
    {"image", AckPoint::Image},
    {"chunk", AckPoint::Chunk},
    {"memcheck", AckPoint::MemCheck},
    {"record", AckPoint::Record},
}};

}  // namespace

std::string_view point_name(AckPoint point) {
  for (const auto& [name, value] : kPointNames) {
    if (value == point) return name;
  }
  return "?";
}

std::string fault_point_names() {
  std::string names;
  for (const auto& entry : kPointNames) {
    if (!names.empty()) names += '|';
    names += entry.first;
  }
  return names;
}

namespace {

// 'text', built by appending: GCC 12 at -O3 misreads `"'" + std::string(text)` as an
// overlapping copy (-Wrestrict).
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

}  // namespace

std::optional<FaultRule> parse_fault(std::string_view text, AckFault fault, std::string& error) {
  FaultRule rule;
  rule.fault = fault;
  std::string_view name = text;
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    name = text.substr(0, colon);
    const std::string_view repeat = text.substr(colon + 1);
    if (repeat != "once" && repeat != "always") {
      error = quoted(text) + ": after ':' use once or always";
      return std::nullopt;
    }
    rule.always = repeat == "always";
  }
  for (const auto& [point_text, point] : kPointNames) {
    if (point_text == name) {
      rule.point = point;
      return rule;
    }
  }
  error = quoted(text) + ": expected one of " + fault_point_names() + ", optionally :once or :always";
  return std::nullopt;
}

AckFault FaultPlan::take(AckPoint point) {
  for (FaultRule& rule : rules_) {
    if (rule.point != point || rule.spent) continue;
    if (!rule.always) rule.spent = true;
    return rule.fault;
  }
  return AckFault::None;
}

}  // namespace kov02a_sim
