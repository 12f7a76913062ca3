#include "kernel/handles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <thread>

#include "test_objects.h"

namespace kov02::kernel {
namespace {

using testing::CountingSink;

TEST(Handles, ClosedUnknownAndSpecialHandlesFailWithInvalidHandleAsDoOperationsAnObjectCannotDo) {
  HANDLE sink = insert_handle(std::make_shared<CountingSink>());  // it only takes writes
  char byte;
  DWORD got;
  EXPECT_FALSE(ReadFile(sink, &byte, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(sink, nullptr), INVALID_FILE_SIZE);
  CloseHandle(sink);

  HANDLE closed = insert_handle(std::make_shared<CountingSink>());
  ASSERT_TRUE(CloseHandle(closed));
  const HANDLE cases[] = {closed, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x7FFF0)};
  // True when `call` failed and said why; the last error is cleared first.
  const auto refused = [](auto call) {
    SetLastError(0);
    return !call() && GetLastError() == ERROR_INVALID_HANDLE;
  };
  for (HANDLE handle : cases) {
    DWORD count = 99;
    EXPECT_TRUE(refused([&] { return ReadFile(handle, &byte, 1, &count, nullptr); }));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(refused([&] { return WriteFile(handle, &byte, 1, &count, nullptr); }));
    EXPECT_TRUE(refused([&] { return GetFileSize(handle, nullptr) != INVALID_FILE_SIZE; }));
    EXPECT_TRUE(refused([&] { return CloseHandle(handle); }));
  }
}

TEST(Handles, ValuesAreNotHandedOutAgainSoonAfterAClose) {
  std::set<HANDLE> seen;
  for (int i = 0; i < 500; ++i) {
    HANDLE handle = insert_handle(std::make_shared<CountingSink>());
    EXPECT_TRUE(seen.insert(handle).second) << "value reused after " << i << " closes";
    CloseHandle(handle);
  }
}

TEST(Handles, AnInFlightOperationKeepsItsObjectAlive) {
  auto sink = std::make_shared<CountingSink>();
  std::weak_ptr<CountingSink> watch = sink;
  HANDLE handle = insert_handle(std::move(sink));
  auto held = lookup_handle(handle);
  CloseHandle(handle);
  EXPECT_FALSE(watch.expired());
  EXPECT_TRUE(held->closed());
  EXPECT_EQ(lookup_handle(handle), nullptr);
  held.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(Handles, WaitFdReportsTimeOutReadinessAndClose) {
  auto object = std::make_shared<CountingSink>();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(wait_fd(*object, fds[0], POLLIN, 0), WaitResult::timed_out);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  short revents = 0;
  EXPECT_EQ(wait_fd(*object, fds[0], POLLIN, 0, &revents), WaitResult::ready);
  EXPECT_TRUE(revents & POLLIN);
  object->close();
  EXPECT_EQ(wait_fd(*object, fds[0], POLLIN, -1), WaitResult::closed);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(Errors, ErrnoMapsOntoTheHandsetCodes) {
  struct Row {
    int error;
    DWORD expected;
  };
  const Row rows[] = {
      {0, ERROR_SUCCESS},
      {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED},
      {EBUSY, ERROR_ACCESS_DENIED},
      {EBADF, ERROR_INVALID_HANDLE},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {EINVAL, ERROR_INVALID_PARAMETER},
      {EPIPE, ERROR_BROKEN_PIPE},
      {EIO, ERROR_IO_DEVICE},
      {ETIMEDOUT, ERROR_TIMEOUT},
      {ENOTTY, ERROR_NOT_SUPPORTED},
      {EDOM, ERROR_GEN_FAILURE},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(error_from_errno(row.error), row.expected) << "errno " << row.error;
  }
  errno = ENOENT;
  set_last_error_from_errno();
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Heap, LocalAllocZeroFillsWhenAsked) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::count(block, block + 64, 0), 64);
  EXPECT_EQ(LocalFree(block), nullptr);
  void* empty = LocalAlloc(LPTR, 0);
  EXPECT_NE(empty, nullptr);
  LocalFree(empty);
}

TEST(Errors, LastErrorBelongsToTheCallingThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 1;
  std::thread other([&] {
    seen = GetLastError();
    SetLastError(ERROR_BUSY);
  });
  other.join();
  EXPECT_EQ(seen, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace kov02::kernel
