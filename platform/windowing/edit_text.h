// The text, caret and selection of an edit control, as plain data.
//
// The selection runs from an anchor to the caret (either may be the larger). Text entering
// through replace_selection() lands over the selection, or at the caret when nothing is
// selected, and leaves the caret after it. The text is bounded: beyond `limit` characters its
// oldest whole lines are shed (down to about seven eighths of the limit, so shedding is rare),
// and the caret and selection move with the text that stays.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kov02::windowing {

class EditText {
 public:
  static constexpr std::size_t kDefaultLimit = std::size_t{1} << 20;

  explicit EditText(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // What one replace_selection() did, for a backend to mirror: [pos, pos + removed) became
  // `inserted`, then the first `shed` characters were dropped.
  struct Change {
    std::size_t pos = 0;
    std::size_t removed = 0;
    std::size_t inserted = 0;
    std::size_t shed = 0;
  };

  Change replace_selection(std::wstring_view text);
  // Replaces the whole text; the caret goes to the start.
  Change set_text(std::wstring_view text);

  // EM_SETSEL: `start` -1 keeps the caret and drops the selection; `end` -1 (or any value past
  // the text) means the end of the text. The caret goes to `end`.
  void set_selection(long start, long end);
  // A position chosen by the person (tap, arrow keys): both clamped to the text.
  void select(std::size_t anchor, std::size_t caret);

  const std::wstring& text() const { return text_; }
  std::size_t anchor() const { return anchor_; }
  std::size_t caret() const { return caret_; }
  std::size_t selection_start() const { return anchor_ < caret_ ? anchor_ : caret_; }
  std::size_t selection_end() const { return anchor_ < caret_ ? caret_ : anchor_; }

 private:
  std::size_t shed_oldest_lines();

  std::size_t limit_;
  std::wstring text_;
  std::size_t anchor_ = 0;
  std::size_t caret_ = 0;
};

}  // namespace kov02::windowing
