// The log pane: text at the caret, over a selection, selection messages and bounded text.
#include <gtest/gtest.h>

#include <string>

#include "win_test_window.h"
#include "windowing/edit_text.h"

namespace {

using kov02::windowing::EditText;

TEST(EditText, ReplaceLandsAtTheCaretOrOverTheSelection) {
  struct Case {
    const char* name;
    long start, end;  // EM_SETSEL before the insertion
    std::wstring expected;
    std::size_t caret;
  };
  const Case cases[] = {
      {"caret at the end", 10, 10, L"one\r\ntwo\r\nNEW", 13},
      {"caret moved to the middle", 5, 5, L"one\r\nNEWtwo\r\n", 8},
      {"selection replaced", 0, 3, L"NEW\r\ntwo\r\n", 3},
      {"selection made backwards", 8, 5, L"one\r\nNEW\r\n", 8},
      {"whole text selected", 0, -1, L"NEW", 3},
      {"start -1 drops the selection", -1, 0, L"one\r\ntwo\r\nNEW", 13},
      {"positions past the end clamp", 50, 60, L"one\r\ntwo\r\nNEW", 13},
  };
  for (const Case& c : cases) {
    EditText edit;
    edit.replace_selection(L"one\r\ntwo\r\n");
    edit.set_selection(c.start, c.end);
    edit.replace_selection(L"NEW");
    EXPECT_EQ(edit.text(), c.expected) << c.name;
    EXPECT_EQ(edit.caret(), c.caret) << c.name;
    EXPECT_EQ(edit.selection_start(), edit.selection_end()) << c.name;
  }
}

TEST(EditText, ShedsOldestWholeLinesKeepingTheNewestTextEvenOfOneOverlongLineAndTheCaretWithItsText) {
  EditText edit(40);
  for (int i = 0; i < 10; ++i) edit.replace_selection(L"line " + std::to_wstring(i) + L"\r\n");
  const std::wstring& text = edit.text();
  EXPECT_LE(text.size(), 40u);
  EXPECT_TRUE(text.ends_with(L"line 9\r\n"));
  EXPECT_TRUE(text.starts_with(L"line ")) << "only whole lines are shed";
  EXPECT_EQ(edit.caret(), text.size());

  EditText cut(16);  // a line longer than the limit is cut, so memory stays bounded
  cut.replace_selection(std::wstring(100, L'x') + L"end");
  EXPECT_LE(cut.text().size(), 16u);
  EXPECT_TRUE(cut.text().ends_with(L"end"));

  EditText moved(20);                                    // shedding moves the caret with its text
  moved.replace_selection(L"aaaa\r\nbbbb\r\ncccc\r\n");  // 18 characters
  moved.set_selection(12, 14);                           // "cc" on the third line
  moved.set_selection(12, 12);
  moved.replace_selection(L"XXXXXX");  // 24 characters: the oldest lines go
  EXPECT_EQ(moved.text(), L"bbbb\r\nXXXXXXcccc\r\n");
  EXPECT_EQ(moved.caret(), 12u);
}

TEST(LogPane, SelectionAndTextMessagesFollowTheHandsetsContract) {
  WinTestWindow window;
  const auto append = [&](const wchar_t* text) {
    SendMessageW(window.pane(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
  };
  append(L"0123456789");
  SendMessageW(window.pane(), EM_SETSEL, 6, 2);
  DWORD start = 0, end = 0;
  const LRESULT packed = SendMessageW(window.pane(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                                      reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 2u);
  EXPECT_EQ(end, 6u);
  EXPECT_EQ(LOWORD(packed), 2);
  EXPECT_EQ(HIWORD(packed), 6);
  append(L"-");
  EXPECT_EQ(window.text(), L"01-6789");
  SendMessageW(window.pane(), EM_SETSEL, static_cast<WPARAM>(static_cast<DWORD>(-1)), 0);
  append(L"+");
  EXPECT_EQ(window.text(), L"01-+6789") << "a 32-bit -1 drops the selection and keeps the caret";

  EXPECT_EQ(SendMessageW(window.pane(), WM_GETTEXTLENGTH, 0, 0), 8);
  wchar_t small[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
  EXPECT_EQ(SendMessageW(window.pane(), WM_GETTEXT, 6, reinterpret_cast<LPARAM>(small)), 5);
  EXPECT_EQ(std::wstring(small), L"01-+6");
  EXPECT_EQ(SendMessageW(window.pane(), WM_GETTEXT, 0, reinterpret_cast<LPARAM>(small)), 0);
}

}  // namespace
