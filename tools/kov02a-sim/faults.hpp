// Acknowledgement faults: which answers of the module are withheld or replaced by a wrong
// byte, and whether that happens once or every time.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov02a_sim {

// The places where the module acknowledges something.
enum class AckPoint {
  Stage1,    // 0xA5 after the stage-1 frame
  Stage2,    // 0xA5 after the stage-2 check byte
  Image,     // 0xA5 after the image checksums
  Chunk,     // 0xAA after a full stage-2 or image chunk
  MemCheck,  // the three answer bytes after 0x50
  Record,    // the three 0xA5 after the file-size record
};

enum class AckFault { None, Withhold, Wrong, Extra };

struct FaultRule {
  AckPoint point = AckPoint::Stage1;
  AckFault fault = AckFault::None;
  bool always = false;  // otherwise the rule applies to the first matching answer only
  bool spent = false;
};

// Reads "stage1", "chunk:always", "image:once" …; on a bad text returns nothing and sets `error`.
std::optional<FaultRule> parse_fault(std::string_view text, AckFault fault, std::string& error);

// The names accepted by parse_fault, for help texts: "stage1|stage2|…".
std::string fault_point_names();

std::string_view point_name(AckPoint point);

class FaultPlan {
 public:
  void add(const FaultRule& rule) { rules_.push_back(rule); }

  // The fault for the next answer at `point`. The first rule that still applies wins; a
  // once-only rule is used up by this call. The plan lives as long as the simulator, so a
  // once-only fault hits the first update attempt and lets the retry through.
  AckFault take(AckPoint point);

 private:
  std::vector<FaultRule> rules_;
};

}  // namespace kov02a_sim
