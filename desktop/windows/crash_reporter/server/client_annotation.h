// One entry of a client's annotation table, and a view of a copied table.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_ANNOTATION_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_ANNOTATION_H_

#include <cstddef>
#include <cstdint>

namespace tavra {

// Code units in an entry's name and in its value.
constexpr size_t kAnnotationTextUnits = 64;
// The most entries that the reporter copies out of one client.
constexpr uint32_t kMaxAnnotationCount = 4096;

// 256 bytes, the same in the client's memory and in the reporter's copy. The
// name and the value are UTF-16, each NUL-terminated unless it fills all 64
// units; readers never look beyond the 64 units.
struct ClientAnnotation {
  wchar_t name[kAnnotationTextUnits];
  wchar_t value[kAnnotationTextUnits];
};

static_assert(sizeof(wchar_t) == 2, "annotations are UTF-16");
static_assert(sizeof(ClientAnnotation) == 256, "ClientAnnotation is 256 bytes");
static_assert(offsetof(ClientAnnotation, value) == 128, "ClientAnnotation layout");

// A client's copied table: the client's entries followed by the reporter's
// own "ptime" entry. Empty (null, 0) when the table was never read.
struct AnnotationView {
  const ClientAnnotation* entries = nullptr;
  uint32_t count = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_ANNOTATION_H_
