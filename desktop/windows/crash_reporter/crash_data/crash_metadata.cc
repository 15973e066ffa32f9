#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"

#include "desktop/windows/crash_reporter/crash_data/system_info.h"
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

const char kUnknownVersion[] = "0.0.0.0";
const char kUnknownBuild[] = "-1";

namespace {

constexpr wchar_t kWrenOrigin[] = L"Wren";
constexpr wchar_t kVazeriOrigin[] = L"VaZeri";
constexpr wchar_t kBrowserProcessType[] = L"browser";

// Lists that a client may spread over several entries of the same name; the
// pieces are joined in table order. Only "vazeri_test" is left out of the
// report when it stays empty.
struct CollectingSlot {
  const wchar_t* key;
  bool emitWhenEmpty;
};
constexpr CollectingSlot kCollectingSlots[] = {
    {L"vazeri_test", false},          {L"enabled_extensions", true},
    {L"disabled_extensions", true},   {L"blacklisted_extensions", true},
    {L"terminated_extensions", true}, {L"third_party_installs", true},
};
constexpr size_t kSlotCount = sizeof(kCollectingSlots) / sizeof(kCollectingSlots[0]);

bool isNameCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'.' || c == L'-' || c == L'_';
}

// A view whose pointer is missing is as empty as one never read.
uint32_t entryCount(const AnnotationView& view) { return view.entries != nullptr ? view.count : 0; }

// Values whose name the metadata leaves to other outputs.
bool feedsOtherOutputs(std::wstring_view name) {
  return name == kProcessTimeAnnotation || name == kActiveUrlAnnotation ||
         name == kCrashGuidAnnotation;
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

const wchar_t* findAnnotation(const AnnotationView& view, std::wstring_view key) {
  const uint32_t count = entryCount(view);
  for (uint32_t i = 0; i < count; ++i) {
    if (annotationText(view.entries[i].name) == key) return view.entries[i].value;
  }
  return nullptr;
}

void buildCrashMetadata(const AnnotationView& view, CrashMetadata* metadata) {
  std::wstring slotValues[kSlotCount];
  const uint32_t count = entryCount(view);
  for (uint32_t i = 0; i < count; ++i) {
    const ClientAnnotation& entry = view.entries[i];
    if (!isValidAnnotationName(entry.name)) continue;
    const std::wstring_view name = annotationText(entry.name);
    if (feedsOtherOutputs(name)) continue;
    const std::wstring_view value = annotationText(entry.value);

    bool collected = false;
    for (size_t slot = 0; slot < kSlotCount; ++slot) {
      if (name == kCollectingSlots[slot].key) {
        slotValues[slot].append(value);
        collected = true;
        break;
      }
    }
    if (collected) continue;

    // The last one wins, even when it is empty.
    if (name == kVersionAnnotation) {
      metadata->version = wideToUtf8(value);
    } else if (name == kBuildAnnotation) {
      metadata->build = wideToUtf8(value);
    } else if (!value.empty()) {
      metadata->entries.emplace_back(wideToUtf8(name), wideToUtf8(value));
    }
  }

  for (size_t slot = 0; slot < kSlotCount; ++slot) {
    if (slotValues[slot].empty() && !kCollectingSlots[slot].emitWhenEmpty) continue;
    metadata->entries.emplace_back(wideToUtf8(kCollectingSlots[slot].key),
                                   wideToUtf8(slotValues[slot]));
  }

  const SystemInfo& system = systemInfo();
  metadata->entries.emplace_back("os_version", system.osVersion);
  metadata->entries.emplace_back("os_service_pack_version", system.osServicePackVersion);
  metadata->entries.emplace_back("cpu_architecture", system.cpuArchitecture);
  metadata->entries.emplace_back("cpu_level", system.cpuLevel);
  metadata->entries.emplace_back("cpu_revision", system.cpuRevision);

  if (metadata->version.empty()) metadata->version = kUnknownVersion;
  if (metadata->build.empty()) metadata->build = kUnknownBuild;
}

void appendMemoryFigures(uint32_t workingSetSize, uint32_t peakWorkingSetSize,
                         uint32_t privateUsage, CrashMetadata* metadata) {
  metadata->entries.emplace_back("mem_working_set_size", std::to_string(workingSetSize));
  metadata->entries.emplace_back("mem_peak_working_set_size", std::to_string(peakWorkingSetSize));
  metadata->entries.emplace_back("mem_private_usage", std::to_string(privateUsage));
}

std::wstring reportOrigin(const AnnotationView& view) {
  // Any piece of the list counts, as it does for the list's own pair.
  const uint32_t count = entryCount(view);
  for (uint32_t i = 0; i < count; ++i) {
    if (annotationText(view.entries[i].name) == kVazeriTestAnnotation &&
        !annotationText(view.entries[i].value).empty()) {
      return kVazeriOrigin;
    }
  }
  const wchar_t* origin = findAnnotation(view, kOriginAnnotation);
  if (origin != nullptr && annotationText(origin) == kWrenOrigin) return kWrenOrigin;
  return std::wstring();
}

std::wstring collectActiveUrl(const AnnotationView& view) {
  std::wstring url;
  const uint32_t count = entryCount(view);
  for (uint32_t i = 0; i < count; ++i) {
    if (annotationText(view.entries[i].name) == kActiveUrlAnnotation) {
      url.append(annotationText(view.entries[i].value));
    }
  }
  return url;
}

bool isBrowserProcess(const AnnotationView& view) {
  const wchar_t* type = findAnnotation(view, kProcessTypeAnnotation);
  return type != nullptr && annotationText(type) == kBrowserProcessType;
}

std::wstring crashUptimeSeconds(const AnnotationView& view) {
  const wchar_t* processTime = findAnnotation(view, kProcessTimeAnnotation);
  if (processTime == nullptr) return std::wstring();
  const std::wstring_view milliseconds = annotationText(processTime);
  if (milliseconds.size() <= 3) return std::wstring();
  return std::wstring(milliseconds.substr(0, milliseconds.size() - 3));
}

}  // namespace tavra
