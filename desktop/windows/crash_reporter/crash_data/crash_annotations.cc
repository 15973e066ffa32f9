#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"

#include "runtime/utf_conversion.h"

namespace tavra {

const wchar_t kProcessTimeAnnotation[] = L"ptime";
const wchar_t kActiveUrlAnnotation[] = L"active_url";
const wchar_t kCrashGuidAnnotation[] = L"crash_guid";
const wchar_t kVersionAnnotation[] = L"version";
const wchar_t kBuildAnnotation[] = L"build";
const wchar_t kVazeriTestAnnotation[] = L"vazeri_test";
const wchar_t kOriginAnnotation[] = L"origin";
const wchar_t kProcessTypeAnnotation[] = L"process_type";

namespace {

constexpr wchar_t kWrenOrigin[] = L"Wren";
constexpr wchar_t kVazeriOrigin[] = L"VaZeri";
constexpr wchar_t kBrowserProcessType[] = L"browser";

// Lists that a client may spread over several entries of the same name; the
// pieces are joined in table order. Only "vazeri_test" is left out of the
// crash log when it stays empty; it is the first, and its pieces also decide
// the origin.
struct CollectingSlot {
  const wchar_t* key;
  bool emitWhenEmpty;
};
constexpr CollectingSlot kCollectingSlots[] = {
    {kVazeriTestAnnotation, false},   {L"enabled_extensions", true},
    {L"disabled_extensions", true},   {L"blacklisted_extensions", true},
    {L"terminated_extensions", true}, {L"third_party_installs", true},
};
constexpr size_t kSlotCount = sizeof(kCollectingSlots) / sizeof(kCollectingSlots[0]);
constexpr size_t kVazeriSlot = 0;

bool isNameCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'.' || c == L'-' || c == L'_';
}

// The slot that collects `name`, or kSlotCount.
size_t slotOf(std::wstring_view name) {
  for (size_t slot = 0; slot < kSlotCount; ++slot) {
    if (name == kCollectingSlots[slot].key) return slot;
  }
  return kSlotCount;
}

std::wstring secondsOf(std::wstring_view milliseconds) {
  if (milliseconds.size() <= 3) return std::wstring();
  return std::wstring(milliseconds.substr(0, milliseconds.size() - 3));
}

}  // namespace

std::wstring_view annotationText(const wchar_t* units) {
  size_t length = 0;
  while (length < kAnnotationTextUnits && units[length] != 0) ++length;
  return std::wstring_view(units, length);
}

bool isValidAnnotationName(const wchar_t* name) {
  for (size_t i = 0; i < kAnnotationTextUnits; ++i) {
    if (name[i] == 0) return i > 0;
    if (!isNameCharacter(name[i])) return false;
  }
  // No NUL within the 64 units.
  return false;
}

CrashAnnotations readCrashAnnotations(const AnnotationView& view) {
  CrashAnnotations annotations;
  std::wstring slotValues[kSlotCount];
  bool seenProcessTime = false;
  bool seenOrigin = false;
  bool wrenOrigin = false;
  bool seenProcessType = false;
  // A view whose pointer is missing is as empty as one never read.
  const uint32_t count = view.entries != nullptr ? view.count : 0;
  for (uint32_t i = 0; i < count; ++i) {
    const ClientAnnotation& entry = view.entries[i];
    // Every name with a meaning is valid, so an invalid one means nothing.
    if (!isValidAnnotationName(entry.name)) continue;
    const std::wstring_view name = annotationText(entry.name);
    const std::wstring_view value = annotationText(entry.value);

    // The values that go to other outputs than the crash log's pairs.
    if (name == kProcessTimeAnnotation) {
      if (!seenProcessTime) annotations.uptimeSeconds = secondsOf(value);
      seenProcessTime = true;
      continue;
    }
    if (name == kActiveUrlAnnotation) {
      annotations.activeUrl.append(value);
      continue;
    }
    if (name == kCrashGuidAnnotation) {
      if (!annotations.crashGuid) annotations.crashGuid.emplace(value);
      continue;
    }

    // These are pairs of the crash log as well.
    if (name == kOriginAnnotation && !seenOrigin) {
      seenOrigin = true;
      wrenOrigin = value == kWrenOrigin;
    } else if (name == kProcessTypeAnnotation && !seenProcessType) {
      seenProcessType = true;
      annotations.browserProcess = value == kBrowserProcessType;
    }

    const size_t slot = slotOf(name);
    if (slot < kSlotCount) {
      slotValues[slot].append(value);
    } else if (name == kVersionAnnotation) {
      // The last one wins, even when it is empty.
      annotations.version = wideToUtf8(value);
    } else if (name == kBuildAnnotation) {
      annotations.build = wideToUtf8(value);
    } else if (!value.empty()) {
      annotations.pairs.emplace_back(wideToUtf8(name), wideToUtf8(value));
    }
  }

  for (size_t slot = 0; slot < kSlotCount; ++slot) {
    if (slotValues[slot].empty() && !kCollectingSlots[slot].emitWhenEmpty) continue;
    annotations.pairs.emplace_back(wideToUtf8(kCollectingSlots[slot].key),
                                   wideToUtf8(slotValues[slot]));
  }
  // Any piece of the list counts, as it does for the list's own pair.
  if (!slotValues[kVazeriSlot].empty()) {
    annotations.origin = kVazeriOrigin;
  } else if (wrenOrigin) {
    annotations.origin = kWrenOrigin;
  }
  return annotations;
}

}  // namespace tavra
