#include "kernel/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "eventually.h"
#include "kernel/handles.h"
#include "test_objects.h"

namespace kov02::kernel {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;
using testing::CountingSink;

DWORD exit_code_of(HANDLE thread) {
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  return code;
}

DWORD WriteAndSleepForever(LPVOID parameter) {
  HANDLE sink = parameter;
  for (;;) {
    DWORD put;
    WriteFile(sink, "x", 1, &put, nullptr);
    Sleep(1);
  }
}

TEST(Threads, SuspendStopsWritesResumeRestartsThemEvenAfterManyCyclesTerminateEndsTheThread) {
  auto sink = std::make_shared<CountingSink>();
  HANDLE sink_handle = insert_handle(sink);
  HANDLE thread = CreateThread(nullptr, 0, WriteAndSleepForever, sink_handle, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(eventually([&] { return sink->bytes.load() > 0; }));

  EXPECT_EQ(SuspendThread(thread), 0u);
  const long at_suspend = sink->bytes.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(sink->bytes.load(), at_suspend);
  EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);

  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_TRUE(eventually([&] { return sink->bytes.load() > at_suspend; }));
  // Quick cycles must not leave the thread parked.
  for (int cycle = 0; cycle < 300; ++cycle) {
    ASSERT_EQ(SuspendThread(thread), 0u);
    ASSERT_EQ(ResumeThread(thread), 1u);
  }
  const long after_cycles = sink->bytes.load();
  EXPECT_TRUE(eventually([&] { return sink->bytes.load() > after_cycles; }));

  EXPECT_TRUE(TerminateThread(thread, 7));
  EXPECT_EQ(exit_code_of(thread), 7u);
  const long at_end = sink->bytes.load();
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(sink->bytes.load(), at_end);
  CloseHandle(thread);
  CloseHandle(sink_handle);
}

struct Unwound {
  std::atomic<bool> entered{false};
  std::atomic<bool> destroyed{false};
};

DWORD SleepHoldingAnObject(LPVOID parameter) {
  struct Guard {
    Unwound* flag;
    ~Guard() { flag->destroyed = true; }
  } guard{static_cast<Unwound*>(parameter)};
  guard.flag->entered = true;
  Sleep(0xFFFFFFFFu);
  return 0;
}

TEST(Threads, SuspendCountsNestAndAThreadSuspendedInAnEndlessSleepIsTerminatedWithItsStackUnwound) {
  Unwound unwound;
  HANDLE thread = CreateThread(nullptr, 0, SleepHoldingAnObject, &unwound, 0, nullptr);
  ASSERT_TRUE(eventually([&] { return unwound.entered.load(); }));
  EXPECT_EQ(SuspendThread(thread), 0u);
  EXPECT_EQ(SuspendThread(thread), 1u);
  EXPECT_EQ(ResumeThread(thread), 2u);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(ResumeThread(thread), 0u);
  EXPECT_EQ(SuspendThread(thread), 0u);  // still suspended when terminated
  ASSERT_TRUE(TerminateThread(thread, 3));
  EXPECT_EQ(exit_code_of(thread), 3u);
  EXPECT_TRUE(unwound.destroyed);
  CloseHandle(thread);
}

DWORD TerminateItself(LPVOID) {
  TerminateThread(GetCurrentThread(), 11);
  return 0;
}

// Also: a thread can terminate itself, and its code is then the one it gave. Once its handle
// is closed, or for a handle that is no thread, the calls fail.
TEST(Threads, FinishedThreadsReportTheirCodeAndIgnoreStopRequestsAndOtherHandlesAreRefused) {
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return 42; }, nullptr, 0, &id);
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(eventually([&] { return exit_code_of(thread) != STILL_ACTIVE; }));
  EXPECT_EQ(exit_code_of(thread), 42u);
  SuspendThread(thread);
  EXPECT_TRUE(TerminateThread(thread, 5));
  EXPECT_EQ(exit_code_of(thread), 42u);
  CloseHandle(thread);
  HANDLE sink = insert_handle(std::make_shared<CountingSink>());
  for (HANDLE handle : {INVALID_HANDLE_VALUE, HANDLE{}, reinterpret_cast<HANDLE>(0x7FFF0), sink, thread}) {
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(handle, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SuspendThread(handle), 0xFFFFFFFFu);
    EXPECT_FALSE(TerminateThread(handle, 0));
  }
  CloseHandle(sink);

  HANDLE self = CreateThread(nullptr, 0, TerminateItself, nullptr, 0, nullptr);
  ASSERT_TRUE(eventually([&] { return exit_code_of(self) != STILL_ACTIVE; }));
  EXPECT_EQ(exit_code_of(self), 11u);
  CloseHandle(self);
}

DWORD WaitForRelease(LPVOID parameter) {
  auto* gate = static_cast<std::atomic<int>*>(parameter);
  while (gate->load() == 0) Sleep(1);
  gate->store(2);
  return 0;
}

TEST(Threads, ClosingAThreadHandleLeavesTheThreadRunning) {
  std::atomic<int> gate{0};
  HANDLE thread = CreateThread(nullptr, 0, WaitForRelease, &gate, 0, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  gate = 1;
  EXPECT_TRUE(eventually([&] { return gate.load() == 2; }));
}

DWORD ReportPriorityAndName(LPVOID parameter) {
  auto* out = static_cast<std::string*>(parameter);
  const bool set = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  *out = current_thread_name() + (set ? " set " : " refused ") +
         std::to_string(thread_priority(GetCurrentThread()));
  return 0;
}

TEST(Threads, PriorityIsRecordedOnTheHandsetScale) {
  std::string report;
  HANDLE thread = CreateThread(nullptr, 0, ReportPriorityAndName, &report, 0, nullptr);
  ASSERT_TRUE(eventually([&] { return exit_code_of(thread) != STILL_ACTIVE; }));
  EXPECT_EQ(report.substr(0, 7), "thread-");
  EXPECT_NE(report.find(" set 3"), std::string::npos) << report;

  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(thread_priority(thread), THREAD_PRIORITY_IDLE);
  EXPECT_FALSE(SetThreadPriority(thread, 8));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetThreadPriority(thread, -1));
  EXPECT_EQ(thread_priority(thread), THREAD_PRIORITY_IDLE);
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(thread_priority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  CloseHandle(thread);
}

TEST(Threads, ConsentPollHonoursItsTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(consent_poll(nullptr, 0, 20), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

}  // namespace
}  // namespace kov02::kernel
