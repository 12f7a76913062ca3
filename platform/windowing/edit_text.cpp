// Text, caret and selection of an edit control (see edit_text.h).
#include "windowing/edit_text.h"

#include <algorithm>

namespace kov02::windowing {

EditText::Change EditText::replace_selection(std::wstring_view text) {
  Change change;
  change.pos = selection_start();
  change.removed = selection_end() - change.pos;
  change.inserted = text.size();
  text_.replace(change.pos, change.removed, text);
  anchor_ = caret_ = change.pos + text.size();
  change.shed = shed_oldest_lines();
  return change;
}

EditText::Change EditText::set_text(std::wstring_view text) {
  Change change;
  change.removed = text_.size();
  change.inserted = text.size();
  text_.assign(text);
  anchor_ = caret_ = 0;
  change.shed = shed_oldest_lines();
  return change;
}

void EditText::set_selection(long start, long end) {
  const std::size_t size = text_.size();
  const auto clamp = [size](long value) {
    return value < 0 ? size : std::min(static_cast<std::size_t>(value), size);
  };
  if (start == -1) {
    anchor_ = caret_;
    return;
  }
  anchor_ = clamp(start);
  caret_ = clamp(end);
}

void EditText::select(std::size_t anchor, std::size_t caret) {
  anchor_ = std::min(anchor, text_.size());
  caret_ = std::min(caret, text_.size());
}

// Drops whole lines from the front until the text is back to about 7/8 of the limit. A single
// line longer than that is cut where needed: the bound on memory matters more than the line.
std::size_t EditText::shed_oldest_lines() {
  if (text_.size() <= limit_) return 0;
  const std::size_t keep = limit_ - limit_ / 8;
  const std::size_t must_drop = text_.size() - keep;
  const std::size_t line_end = text_.find(L'\n', must_drop - 1);
  const std::size_t drop = line_end == std::wstring::npos ? must_drop : line_end + 1;
  text_.erase(0, drop);
  anchor_ = anchor_ > drop ? anchor_ - drop : 0;
  caret_ = caret_ > drop ? caret_ - drop : 0;
  return drop;
}

}  // namespace kov02::windowing
