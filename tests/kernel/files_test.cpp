#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "kernel/handles.h"
#include "kernel/module.h"
#include "kernel/paths.h"
#include "temp_dir.h"

namespace kov02::kernel {
namespace {

using test_support::TempDir;

TEST(Files, ExactNamesAreFoundAndMissingOnesAreNot) {
  TempDir dir;
  dir.write("boot1_v3.bin", "12345");
  struct Row {
    std::string name;
    bool found;
    DWORD attributes;
    const wchar_t* last_component;
  };
  const Row rows[] = {
      {"boot1_v3.bin", true, FILE_ATTRIBUTE_NORMAL, L"boot1_v3.bin"},
      {"", true, FILE_ATTRIBUTE_DIRECTORY, nullptr},
      {"boot1_v3.BIN", false, 0, nullptr},
      {"boot1_*.bin", false, 0, nullptr},
      {"missing.bin", false, 0, nullptr},
  };
  for (const Row& row : rows) {
    const std::wstring name = handset_path(dir.path().string() + (row.name.empty() ? "" : "/" + row.name));
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(name.c_str(), &data);
    ASSERT_EQ(find != INVALID_HANDLE_VALUE, row.found) << row.name;
    if (!row.found) {
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
      continue;
    }
    EXPECT_EQ(data.dwFileAttributes, row.attributes);
    if (row.last_component) {
      EXPECT_STREQ(data.cFileName, row.last_component);
      EXPECT_EQ(data.nFileSizeLow, 5u);
    }
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
  }
}

TEST(Files, TheProgramsOwnPathIsShownInHandsetForm) {
  char target[4096];
  const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target);
  ASSERT_GT(length, 0);
  const std::wstring expected = handset_path(std::string(target, length));

  WCHAR name[MAX_PATH * 4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, name, MAX_PATH * 4), expected.size());
  EXPECT_EQ(std::wstring(name), expected);
  EXPECT_EQ(GetModuleFileNameW(program_module(), name, MAX_PATH * 4), expected.size());

  WCHAR small[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 4u);
  EXPECT_EQ(std::wstring(small), expected.substr(0, 4));
  EXPECT_EQ(small[5], L'#');

  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), name, MAX_PATH), 0u);
}

TEST(Files, RegularFilesReadWriteWithTheAccessAskedForReportTheirSizeAndHonourShareModes) {
  TempDir dir;
  const std::wstring name = handset_path(dir.write("image.bin", "hello"));
  HANDLE file =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), 5u);
  EXPECT_EQ(high, 0u);
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "hello");
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u);  // end of file
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(file, "!!", 2, &put, nullptr));
  EXPECT_EQ(put, 2u);
  EXPECT_EQ(GetFileSize(file, nullptr), 7u);
  EXPECT_FALSE(FindClose(file)) << "a file is no search";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(file);

  // Access not asked for is refused; share modes hold within the process.
  const auto open = [&](DWORD access, DWORD share) {
    return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  HANDLE reader = open(GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &put, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE second_reader = open(GENERIC_READ, FILE_SHARE_READ);
  EXPECT_NE(second_reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(GENERIC_WRITE, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  CloseHandle(second_reader);
  HANDLE exclusive = open(GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(exclusive);
}

TEST(Files, OpenFailuresCarryTheHandsetErrors) {
  TempDir dir;
  const std::string plain = dir.write("plain", "x");
  struct Row {
    std::string path;
    DWORD access;
    DWORD error;
  };
  const Row rows[] = {
      {dir.file("missing"), GENERIC_READ, ERROR_FILE_NOT_FOUND},
      {dir.file("nowhere/file"), GENERIC_READ, ERROR_FILE_NOT_FOUND},
      {plain + "/below", GENERIC_READ, ERROR_PATH_NOT_FOUND},
      {dir.path(), GENERIC_READ, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    const std::wstring name = handset_path(row.path);
    EXPECT_EQ(CreateFileW(name.c_str(), row.access, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), row.error) << row.path;
  }
}

auto open_fd_count() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Cycle after cycle, so that an fd or a handle left behind by a woken reader would show.
TEST(Files, AReaderBlockedOnAFifoEndsWhenItsHandleIsClosedAndLeavesNothingBehind) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::wstring name = handset_path(fifo);
  const auto fds_before = open_fd_count();
  const std::size_t handles_before = live_handle_count();
  for (int cycle = 0; cycle < 500; ++cycle) {
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // A writer keeps the fifo from reading as ended, so the read blocks.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    BOOL ok = TRUE;
    DWORD error = 0;
    std::thread reader([&] {
      char byte;
      DWORD got;
      ok = ReadFile(file, &byte, 1, &got, nullptr);
      error = GetLastError();
    });
    CloseHandle(file);
    reader.join();
    ::close(writer);
    ASSERT_FALSE(ok) << "cycle " << cycle;
    ASSERT_EQ(error, ERROR_INVALID_HANDLE) << "cycle " << cycle;
  }
  // At most as many: what earlier tests left may be let go meanwhile; a leak would add 500.
  EXPECT_LE(open_fd_count(), fds_before);
  EXPECT_LE(live_handle_count(), handles_before);
}

DWORD WriteAMegabyte(LPVOID file) {
  static const std::vector<char> bytes(1 << 20, 'w');
  DWORD put = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  return 0;
}

TEST(Files, AWriterBlockedOnAFullFifoCanBeSuspendedAndTerminated) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const std::wstring name = handset_path(fifo);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE thread = CreateThread(nullptr, 0, WriteAMegabyte, file, 0, nullptr);
  EXPECT_EQ(SuspendThread(thread), 0u);
  // Room made while it is parked is not used until it resumes.
  char sink[4096];
  while (::read(reader, sink, sizeof sink) > 0) {
  }
  EXPECT_EQ(::read(reader, sink, sizeof sink), -1);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_TRUE(TerminateThread(thread, 12));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 12u);
  CloseHandle(thread);
  CloseHandle(file);
  ::close(reader);
}

}  // namespace
}  // namespace kov02::kernel
