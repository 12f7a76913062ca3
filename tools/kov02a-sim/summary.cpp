#include "summary.hpp"

#include <algorithm>
#include <sstream>

#include "json_writer.hpp"

namespace kov02a_sim {
namespace {

std::string optional_ms(const std::optional<Micros>& time) {
  return time ? format_ms(*time) + " ms" : "-";
}

struct Spread {
  Micros median{}, p99{};
};

Spread spread_of(std::vector<Micros> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return {samples[n / 2], samples[std::min(n - 1, n * 99 / 100)]};
}

void turnaround_text(std::ostringstream& out, const std::vector<Micros>& turnarounds) {
  if (turnarounds.empty()) return;
  const Spread spread = spread_of(turnarounds);
  out << "    turnaround after 0xAA: median " << format_ms(spread.median) << " ms, p99 "
      << format_ms(spread.p99) << " ms over " << turnarounds.size() << " chunks\n";
}

void stage_text(std::ostringstream& out, std::string_view name, const StageRecord& stage) {
  out << "  " << name << ": ";
  if (!stage.reached) {
    out << "not reached\n";
    return;
  }
  out << "announced " << stage.announced << ", received " << stage.received;
  if (stage.full_chunks > 0) out << " (" << stage.full_chunks << " full chunks)";
  for (const Checksum& sum : stage.checksums) {
    out << "; check " << hex_byte(sum.seen)
        << (sum.seen == sum.computed ? " ok" : " != " + hex_byte(sum.computed));
  }
  out << "; " << (stage.answer.empty() ? "open" : stage.answer) << "\n";
  turnaround_text(out, stage.turnarounds);
}

void run_text(std::ostringstream& out, const RunRecord& run) {
  out << "attempt " << run.index << " at " << format_ms(run.started) << " ms: " << run.outcome << "\n";
  out << "  sync: " << run.sync_seen << " x 0x55 after the reset, " << run.stray_sync << " stray; "
      << run.noise_sent << " noise bytes sent\n";
  stage_text(out, "stage 1", run.stage1);
  stage_text(out, "stage 2", run.stage2);
  stage_text(out, "image", run.image);
  if (run.image.reached) {
    out << "  file-size record: " << (run.file_size_record.empty() ? "-" : hex_bytes(run.file_size_record))
        << "\n";
  }
  out << "  pauses: stage-2 size " << optional_ms(run.stage2_pause) << ", 0x50 "
      << optional_ms(run.baud_pause) << ", image size " << optional_ms(run.image_pause) << "\n";
  for (const std::string& fault : run.faults) out << "  fault applied: " << fault << "\n";
  if (run.ignored > 0) out << "  " << run.ignored << " bytes ignored until the next reset\n";
}

void turnaround_json(JsonWriter& json, const std::vector<Micros>& turnarounds) {
  json.key("turnaround");
  if (turnarounds.empty()) {
    json.null();
    return;
  }
  const Spread spread = spread_of(turnarounds);
  json.begin_object().key("count").value(std::uint64_t{turnarounds.size()});
  json.key("median_ms").millis(spread.median).key("p99_ms").millis(spread.p99).end_object();
}

void stage_json(JsonWriter& json, std::string_view name, const StageRecord& stage) {
  json.key(name).begin_object();
  json.key("reached").boolean(stage.reached);
  json.key("announced").value(std::uint64_t{stage.announced});
  json.key("received").value(stage.received);
  json.key("full_chunks").value(std::uint64_t{stage.full_chunks});
  json.key("checksums").begin_array();
  for (const Checksum& sum : stage.checksums) {
    json.begin_object()
        .key("seen")
        .value(std::uint64_t{sum.seen})
        .key("computed")
        .value(std::uint64_t{sum.computed});
    json.end_object();
  }
  json.end_array();
  json.key("answer").value(stage.answer);
  turnaround_json(json, stage.turnarounds);
  json.end_object();
}

void optional_ms_json(JsonWriter& json, std::string_view name, const std::optional<Micros>& time) {
  json.key(name);
  if (time) {
    json.millis(*time);
  } else {
    json.null();
  }
}

void run_json(JsonWriter& json, const RunRecord& run) {
  json.begin_object();
  json.key("index").value(static_cast<std::uint64_t>(run.index));
  json.key("started_ms").millis(run.started);
  json.key("outcome").value(run.outcome);
  json.key("sync_seen").value(std::uint64_t{run.sync_seen});
  json.key("stray_sync").value(std::uint64_t{run.stray_sync});
  json.key("noise_sent").value(std::uint64_t{run.noise_sent});
  json.key("ignored").value(run.ignored);
  stage_json(json, "stage1", run.stage1);
  stage_json(json, "stage2", run.stage2);
  stage_json(json, "image", run.image);
  json.key("memcheck").boolean(run.memcheck);
  json.key("file_size_record").begin_array();
  for (std::uint8_t byte : run.file_size_record) json.value(std::uint64_t{byte});
  json.end_array();
  optional_ms_json(json, "stage2_pause_ms", run.stage2_pause);
  optional_ms_json(json, "baud_pause_ms", run.baud_pause);
  optional_ms_json(json, "image_pause_ms", run.image_pause);
  json.key("faults").begin_array();
  for (const std::string& fault : run.faults) json.value(fault);
  json.end_array();
  json.end_object();
}

}  // namespace

std::string_view control_name(std::uint32_t code) {
  switch (code) {
    case kRilSuspend:
      return "suspend";
    case kRilResume:
      return "resume";
    case kRilReset:
      return "reset";
    case kHalReboot:
      return "reboot";
    default:
      return "unknown";
  }
}

std::string summary_text(const Summary& summary) {
  std::ostringstream out;
  out << "kov02a-sim summary: " << summary.runs.size() << " update attempts, " << summary.violations.size()
      << " violations\n";
  out << "control requests:" << (summary.control.empty() ? " none" : "") << "\n";
  for (const ControlRecord& request : summary.control) {
    out << "  " << format_ms(request.at) << " ms " << request.request << " " << hex_code(request.code) << " ("
        << control_name(request.code) << ") " << (request.accepted ? "accepted" : "refused") << "\n";
  }
  for (const RunRecord& run : summary.runs) run_text(out, run);
  out << "violations:" << (summary.violations.empty() ? " none" : "") << "\n";
  for (const Violation& violation : summary.violations) {
    out << "  " << format_ms(violation.at) << " ms attempt " << violation.run << " " << violation.code << ": "
        << violation.text << "\n";
  }
  out << "normal mode: " << summary.at_commands << " AT commands, " << summary.sync_in_normal
      << " x 0x55 ignored\n";
  return out.str();
}

std::string summary_json(const Summary& summary) {
  JsonWriter json;
  json.begin_object();
  json.key("control").begin_array();
  for (const ControlRecord& request : summary.control) {
    json.begin_object().key("at_ms").millis(request.at).key("request").value(request.request);
    json.key("code").value(hex_code(request.code)).key("name").value(control_name(request.code));
    json.key("accepted").boolean(request.accepted).end_object();
  }
  json.end_array();
  json.key("runs").begin_array();
  for (const RunRecord& run : summary.runs) run_json(json, run);
  json.end_array();
  json.key("violations").begin_array();
  for (const Violation& violation : summary.violations) {
    json.begin_object()
        .key("at_ms")
        .millis(violation.at)
        .key("run")
        .value(static_cast<std::uint64_t>(violation.run));
    json.key("code").value(violation.code).key("text").value(violation.text).end_object();
  }
  json.end_array();
  json.key("sync_in_normal").value(summary.sync_in_normal);
  json.key("at_commands").value(std::uint64_t{summary.at_commands});
  json.end_object();
  return json.text();
}

}  // namespace kov02a_sim
