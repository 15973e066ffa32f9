#include "desktop/windows/crash_reporter/server/reporter_client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace tavra {
namespace {

// The tests register the test process itself: its own memory is the client's.
ClientRegistration registrationOf(const void* table, uint32_t count) {
  ClientRegistration message;
  message.processId = GetCurrentProcessId();
  message.threadIdAddress = 0x1000;
  message.exceptionPointersAddress = 0x2000;
  message.assertionAddress = 0x3000;
  message.annotationsAddress = reinterpret_cast<uintptr_t>(table);
  message.annotationCount = count;
  return message;
}

std::vector<ClientAnnotation> numberedTable(uint32_t count) {
  std::vector<ClientAnnotation> table(count);
  for (uint32_t i = 0; i < count; ++i) {
    std::swprintf(table[i].name, kAnnotationTextUnits, L"key%u", i);
    std::swprintf(table[i].value, kAnnotationTextUnits, L"value%u", i);
  }
  return table;
}

std::wstring text(const wchar_t* units) { return std::wstring(units, wcsnlen(units, 64)); }

int64_t processTime(const AnnotationView& view) {
  const ClientAnnotation& last = view.entries[view.count - 1];
  EXPECT_EQ(L"ptime", text(last.name));
  const std::wstring value = text(last.value);
  EXPECT_FALSE(value.empty());
  EXPECT_EQ(std::wstring::npos, value.find_first_not_of(L"0123456789")) << value;
  return value.empty() ? -1 : std::stoll(value);
}

uint64_t systemTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

TEST(ReporterClientTest, KeepsTheRegistrationAndStartsEmpty) {
  ClientRegistration message = registrationOf(nullptr, 7);
  message.dumpType = 0x55;
  ReporterClient client(nullptr, message);
  EXPECT_EQ(GetCurrentProcessId(), client.processId());
  EXPECT_EQ(0x55u, client.dumpType());
  EXPECT_EQ(0x1000u, client.threadIdAddress());
  EXPECT_EQ(0x2000u, client.exceptionPointersAddress());
  EXPECT_EQ(0x3000u, client.assertionAddress());
  EXPECT_EQ(7u, client.annotationCount());
  EXPECT_EQ(nullptr, client.process());
  const AnnotationView view = client.annotationView();
  EXPECT_EQ(nullptr, view.entries);
  EXPECT_EQ(0u, view.count);
}

TEST(ReporterClientTest, OpenMakesProcessAndTwoManualResetEvents) {
  ReporterClient client(nullptr, registrationOf(nullptr, 0));
  ASSERT_TRUE(client.open());
  ASSERT_NE(nullptr, client.process());
  EXPECT_EQ(GetCurrentProcessId(), GetProcessId(client.process()));
  ASSERT_NE(nullptr, client.dumpRequestEvent());
  ASSERT_NE(client.dumpRequestEvent(), client.dumpDoneEvent());
  // Manual reset: a signal stays until it is reset.
  SetEvent(client.dumpDoneEvent());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.dumpDoneEvent(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.dumpDoneEvent(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(client.dumpRequestEvent(), 0));
}

TEST(ReporterClientTest, OpenFailsForAProcessThatCannotBeOpened) {
  ClientRegistration message = registrationOf(nullptr, 0);
  message.processId = 0xfffffff0;  // No process has this id.
  ReporterClient client(nullptr, message);
  EXPECT_FALSE(client.open());
  EXPECT_EQ(nullptr, client.dumpRequestEvent());
  EXPECT_EQ(nullptr, client.dumpDoneEvent());
}

TEST(ReporterClientTest, CopiesTableAndAppendsProcessTime) {
  std::vector<ClientAnnotation> table = numberedTable(3);
  const uint64_t before = systemTimeNow();
  ReporterClient client(nullptr, registrationOf(table.data(), 3));
  ASSERT_TRUE(client.open());
  ASSERT_TRUE(client.readAnnotations());
  const uint64_t after = systemTimeNow();
  const AnnotationView view = client.annotationView();
  ASSERT_EQ(4u, view.count);
  ASSERT_NE(nullptr, view.entries);
  EXPECT_NE(table.data(), view.entries);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(L"key" + std::to_wstring(i), text(view.entries[i].name));
    EXPECT_EQ(L"value" + std::to_wstring(i), text(view.entries[i].value));
  }
  const int64_t ptime = processTime(view);
  EXPECT_GE(ptime, 0);
  EXPECT_LE(ptime, static_cast<int64_t>((after - before) / 10000));
}

TEST(ReporterClientTest, LaterReadsReuseTheBufferAndSeeChanges) {
  std::vector<ClientAnnotation> table = numberedTable(2);
  ReporterClient client(nullptr, registrationOf(table.data(), 2));
  ASSERT_TRUE(client.open());
  ASSERT_TRUE(client.readAnnotations());
  const AnnotationView first = client.annotationView();
  const int64_t firstTime = processTime(first);

  std::swprintf(table[1].value, kAnnotationTextUnits, L"changed");
  Sleep(60);
  ASSERT_TRUE(client.readAnnotations());
  const AnnotationView second = client.annotationView();
  EXPECT_EQ(first.entries, second.entries);
  ASSERT_EQ(3u, second.count);
  EXPECT_EQ(L"changed", text(second.entries[1].value));
  // The count is the registered one; "ptime" keeps its place and grows.
  EXPECT_GE(processTime(second), firstTime + 40);
}

TEST(ReporterClientTest, EmptyTableGivesOnlyProcessTime) {
  ReporterClient client(nullptr, registrationOf(nullptr, 0));
  ASSERT_TRUE(client.open());
  ASSERT_TRUE(client.readAnnotations());
  const AnnotationView view = client.annotationView();
  ASSERT_EQ(1u, view.count);
  EXPECT_GE(processTime(view), 0);
}

TEST(ReporterClientTest, CountLimitIsInclusive) {
  std::vector<ClientAnnotation> table = numberedTable(kMaxAnnotationCount + 1);
  ReporterClient largest(nullptr, registrationOf(table.data(), kMaxAnnotationCount));
  ASSERT_TRUE(largest.open());
  ASSERT_TRUE(largest.readAnnotations());
  const AnnotationView view = largest.annotationView();
  ASSERT_EQ(kMaxAnnotationCount + 1, view.count);
  EXPECT_EQ(L"value4095", text(view.entries[4095].value));
  EXPECT_GE(processTime(view), 0);

  ReporterClient tooMany(nullptr, registrationOf(table.data(), kMaxAnnotationCount + 1));
  ASSERT_TRUE(tooMany.open());
  EXPECT_FALSE(tooMany.readAnnotations());
  EXPECT_FALSE(tooMany.readAnnotations());
  EXPECT_EQ(nullptr, tooMany.annotationView().entries);
  EXPECT_EQ(0u, tooMany.annotationView().count);
}

// What the server reserves for a record is what its copy can take: the
// entries and "ptime" as read, and nothing for a table that is never read,
// also where the count would overflow the size.
TEST(ReporterClientTest, ReservedCopySizeIsWhatTheCopyTakes) {
  const struct {
    uint32_t count;
    size_t size;
  } cases[] = {{0, 256},
               {3, 1024},
               {kMaxAnnotationCount, 1048832},
               {kMaxAnnotationCount + 1, 0},
               {0xffffffff, 0}};
  std::vector<ClientAnnotation> table = numberedTable(kMaxAnnotationCount);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(c.size, ReporterClient::annotationCopySize(c.count));
    ReporterClient client(nullptr, registrationOf(table.data(), c.count));
    EXPECT_EQ(c.size, client.annotationCopySize());
    ASSERT_TRUE(client.open());
    EXPECT_EQ(c.size != 0, client.readAnnotations());
    EXPECT_EQ(c.size, client.annotationView().count * sizeof(ClientAnnotation));
  }
}

TEST(ReporterClientTest, UnreadableTableLeavesEmptyEntries) {
  // The lowest 64 KiB of an address space are never mapped.
  const void* unmapped = reinterpret_cast<const void*>(0x1000);
  ReporterClient client(nullptr, registrationOf(unmapped, 2));
  ASSERT_TRUE(client.open());
  EXPECT_FALSE(client.readAnnotations());
  const AnnotationView view = client.annotationView();
  ASSERT_EQ(3u, view.count);
  EXPECT_EQ(L"", text(view.entries[0].name));
  EXPECT_EQ(L"", text(view.entries[1].value));
  EXPECT_EQ(L"ptime", text(view.entries[2].name));
  // A failed read does not give "ptime" a value either.
  EXPECT_EQ(L"", text(view.entries[2].value));
}

TEST(ReporterClientTest, FullWidthTextIsCopiedWithoutTerminator) {
  std::vector<ClientAnnotation> table(1);
  for (size_t i = 0; i < kAnnotationTextUnits; ++i) {
    table[0].name[i] = L'n';
    table[0].value[i] = L'v';
  }
  ReporterClient client(nullptr, registrationOf(table.data(), 1));
  ASSERT_TRUE(client.open());
  ASSERT_TRUE(client.readAnnotations());
  const AnnotationView view = client.annotationView();
  ASSERT_EQ(2u, view.count);
  EXPECT_EQ(std::wstring(64, L'n'), text(view.entries[0].name));
  EXPECT_EQ(std::wstring(64, L'v'), text(view.entries[0].value));
  EXPECT_EQ(L"ptime", text(view.entries[1].name));
}

}  // namespace
}  // namespace tavra
