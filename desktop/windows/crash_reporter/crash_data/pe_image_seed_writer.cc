// Host program of the fuzzing script: writes the made module files of the
// parser's tests into a folder, as seeds for the fuzzer.
//
//   pe_image_seed_writer FOLDER
#include <stdio.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/pe_image_test_support.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  for (const auto& seed : tavra::pe_testing::seedImages()) {
    const std::string path = std::string(argv[1]) + "/" + seed.first;
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
      perror(path.c_str());
      return 1;
    }
    const bool written =
        fwrite(seed.second.data(), 1, seed.second.size(), file) == seed.second.size();
    if (fclose(file) != 0 || !written) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
