#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"

namespace tavra {

const char kUnknownVersion[] = "0.0.0.0";
const char kUnknownBuild[] = "-1";

void buildCrashMetadata(const CrashAnnotations& annotations, const SystemInfo& system,
                        CrashMetadata* metadata) {
  metadata->version = annotations.version.empty() ? kUnknownVersion : annotations.version;
  metadata->build = annotations.build.empty() ? kUnknownBuild : annotations.build;
  metadata->entries.insert(metadata->entries.end(), annotations.pairs.begin(),
                           annotations.pairs.end());
  metadata->entries.emplace_back("os_version", system.osVersion);
  metadata->entries.emplace_back("os_service_pack_version", system.osServicePackVersion);
  metadata->entries.emplace_back("cpu_architecture", system.cpuArchitecture);
  metadata->entries.emplace_back("cpu_level", system.cpuLevel);
  metadata->entries.emplace_back("cpu_revision", system.cpuRevision);
}

void appendMemoryFigures(uint64_t workingSetSize, uint64_t peakWorkingSetSize,
                         uint64_t privateUsage, CrashMetadata* metadata) {
  metadata->entries.emplace_back("mem_working_set_size", std::to_string(workingSetSize));
  metadata->entries.emplace_back("mem_peak_working_set_size", std::to_string(peakWorkingSetSize));
  metadata->entries.emplace_back("mem_private_usage", std::to_string(privateUsage));
}

}  // namespace tavra
