// Modal dialogs and message boxes, on the UI thread and from workers, while sent messages keep
// being serviced.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_resources.h"
#include "win_test_window.h"

namespace {

// The dialog procedure's view of its dialog: what WM_INITDIALOG brought, and a worker that
// writes to the log pane while the dialog is up.
struct DialogRun {
  LPARAM init_param = 0;
  HWND pane = nullptr;
  std::atomic<bool> worker_done{false};
  std::thread worker;
};
DialogRun* g_run = nullptr;

BOOL CALLBACK WorkerWhileOpen(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    g_run->init_param = lParam;
    g_run->worker = std::thread([dialog] {
      SendMessageW(g_run->pane, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"written while modal\r\n"));
      g_run->worker_done = true;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    return FALSE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(dialog, 40 + LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

LPCDLGTEMPLATEW test_dialog() {
  return static_cast<LPCDLGTEMPLATEW>(LoadResource(nullptr, FindResourceW(nullptr, L"testbox", RT_DIALOG)));
}

TEST(Dialogs, WorkersSendToThePaneCompletesWhileTheDialogIsModal) {
  WinTestWindow window(DefWindowProcW, 0);
  DialogRun run;
  run.pane = window.pane();
  g_run = &run;
  const int result = DialogBoxIndirectParamW(nullptr, test_dialog(), window.hwnd(), WorkerWhileOpen, 1234);
  run.worker.join();
  EXPECT_EQ(result, 40 + IDCANCEL);
  EXPECT_TRUE(run.worker_done);
  EXPECT_EQ(run.init_param, 1234);
  EXPECT_EQ(window.text(), L"written while modal\r\n");
  const auto shown = window.backend().shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"About");
  EXPECT_EQ(shown[0].text, L"First line\r\nSecond line");
  EXPECT_TRUE(shown[0].dialog);
  EXPECT_EQ(window.backend().open_count(), 0u) << "the dialog is withdrawn when it ends";
}

BOOL CALLBACK EndOnCommand(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND) EndDialog(dialog, LOWORD(wParam) == IDOK ? 0 : 9);
  return message == WM_COMMAND;
}

TEST(Dialogs, AnswerOkReachesTheProcedureAsIdOkAndAMissingTemplateGivesMinusOne) {
  WinTestWindow window(DefWindowProcW, IDOK);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, test_dialog(), window.hwnd(), EndOnCommand, 0), 0);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, window.hwnd(), EndOnCommand, 0), -1);
  HRSRC missing = FindResourceW(nullptr, L"nosuchbox", RT_DIALOG);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, static_cast<LPCDLGTEMPLATEW>(LoadResource(nullptr, missing)),
                                    window.hwnd(), EndOnCommand, 0),
            -1);
  EXPECT_EQ(window.backend().shown().size(), 1u) << "only the dialog that had a template";
}

TEST(MessageBoxes, BoxOnTheUiThreadReturnsTheAnswerAndShowsTheDefaultCaption) {
  WinTestWindow window(DefWindowProcW, IDYES);
  EXPECT_EQ(MessageBoxW(window.hwnd(), L"Reboot device/Reset module !", L"Successful", MB_YESNO), IDYES);
  EXPECT_EQ(MessageBoxW(window.hwnd(), L"COMs should be released first", nullptr, MB_ICONHAND), IDYES);
  const auto shown = window.backend().shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].buttons, kov02::ui::Buttons::yes_no);
  EXPECT_TRUE(shown[0].modal);
  EXPECT_EQ(shown[1].caption, L"Error");
  EXPECT_EQ(shown[1].buttons, kov02::ui::Buttons::ok);
  EXPECT_TRUE(shown[1].stop_icon);
}

TEST(MessageBoxes, WorkersBoxWaitsForItsAnswerWhileTheUiThreadRunsOnAndGoesWithTheWorker) {
  WinTestWindow window(DefWindowProcW, 0);
  std::atomic<int> answer{0};
  std::thread worker(
      [&] { answer = MessageBoxW(nullptr, L"Fail to write FF(GSM)", L"Fail to write FF(GSM)", MB_OK); });
  ASSERT_TRUE(window.pump_until([&] { return window.backend().open_count() == 1; }));
  // While the box is up, the UI thread still takes sent messages from other threads.
  std::atomic<bool> logged{false};
  std::thread other([&] {
    SendMessageW(window.pane(), EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L"still running\r\n"));
    logged = true;
  });
  ASSERT_TRUE(window.pump_until([&] { return logged.load(); }));
  other.join();
  EXPECT_EQ(answer.load(), 0) << "the worker still waits";
  EXPECT_FALSE(window.backend().shown().at(0).modal) << "a worker's box leaves the UI thread free";
  ASSERT_TRUE(window.backend().answer_oldest(IDOK));
  worker.join();
  EXPECT_EQ(answer.load(), IDOK);
  EXPECT_EQ(window.text(), L"still running\r\n");

  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        MessageBoxW(nullptr, L"text", L"caption", MB_OK);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_TRUE(window.pump_until([&] { return window.backend().open_count() == 1; }));
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_TRUE(window.pump_until([&] { return window.backend().open_count() == 0; }))
      << "a terminated worker's box is withdrawn";
  CloseHandle(thread);
}

}  // namespace
