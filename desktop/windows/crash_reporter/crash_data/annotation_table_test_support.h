// Helpers for the tests that read annotation tables: tables built from text,
// and tables that end right before memory that cannot be read.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_ANNOTATION_TABLE_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_ANNOTATION_TABLE_TEST_SUPPORT_H_

#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/client_annotation.h"

namespace tavra {
namespace testing_support {

struct TestAnnotation {
  std::wstring name;
  std::wstring value;
};

// Copies `text` into 64 units: NUL-terminated when shorter, without a NUL
// when it has 64 units or more (cut at 64).
inline void fillUnits(const std::wstring& text, wchar_t (&units)[kAnnotationTextUnits]) {
  std::memset(units, 0, sizeof(units));
  const size_t length = text.size() < kAnnotationTextUnits ? text.size() : kAnnotationTextUnits;
  std::memcpy(units, text.data(), length * sizeof(wchar_t));
}

inline std::vector<ClientAnnotation> annotationTable(std::initializer_list<TestAnnotation> list) {
  std::vector<ClientAnnotation> table;
  for (const TestAnnotation& entry : list) {
    ClientAnnotation annotation;
    fillUnits(entry.name, annotation.name);
    fillUnits(entry.value, annotation.value);
    table.push_back(annotation);
  }
  return table;
}

inline AnnotationView viewOf(const std::vector<ClientAnnotation>& table) {
  AnnotationView view;
  view.entries = table.empty() ? nullptr : table.data();
  view.count = static_cast<uint32_t>(table.size());
  return view;
}

// A copy of a table placed so that its last byte is the last readable one:
// the page after it is reserved but never committed, so reading one unit too
// far faults.
class GuardedAnnotationTable {
 public:
  explicit GuardedAnnotationTable(const std::vector<ClientAnnotation>& table) {
    const size_t size = table.size() * sizeof(ClientAnnotation);
    const size_t pages = (size + kPage - 1) / kPage;
    memory_ =
        static_cast<char*>(VirtualAlloc(nullptr, (pages + 1) * kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (memory_ == nullptr || pages == 0) return;
    if (VirtualAlloc(memory_, pages * kPage, MEM_COMMIT, PAGE_READWRITE) == nullptr) return;
    char* start = memory_ + pages * kPage - size;
    std::memcpy(start, table.data(), size);
    view_.entries = reinterpret_cast<const ClientAnnotation*>(start);
    view_.count = static_cast<uint32_t>(table.size());
  }
  ~GuardedAnnotationTable() {
    if (memory_ != nullptr) VirtualFree(memory_, 0, MEM_RELEASE);
  }
  GuardedAnnotationTable(const GuardedAnnotationTable&) = delete;
  GuardedAnnotationTable& operator=(const GuardedAnnotationTable&) = delete;

  // Empty when the memory could not be set up.
  const AnnotationView& view() const { return view_; }
  // The first address that cannot be read.
  const void* end() const {
    return reinterpret_cast<const char*>(view_.entries) + view_.count * sizeof(ClientAnnotation);
  }

 private:
  static constexpr size_t kPage = 4096;
  char* memory_ = nullptr;
  AnnotationView view_;
};

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_ANNOTATION_TABLE_TEST_SUPPORT_H_
