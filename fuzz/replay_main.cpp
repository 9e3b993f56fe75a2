// The fuzz targets without libFuzzer: runs LLVMFuzzerTestOneInput on every file named (and every
// file in every directory named), in name order. A finding aborts as it does under libFuzzer.
//   <target>_replay CORPUS_DIR... | FILE...
//   <target>_replay --record OUT REQUESTS_FILE   (writes a seed: REQUESTS_FILE's requests with
//                                                 the device part a sound chip's answers)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

int Record(const std::string& out, const std::string& requestsFile) {
  // An empty requests file: a target whose whole input is the device's script.
  const std::vector<uint8_t> requests = ReadFile(requestsFile);
  const std::vector<uint8_t> input =
      requests.empty() ? std::vector<uint8_t>() : tarnwire::fuzz::Join({}, requests);
  std::vector<uint8_t> recorded;
  tarnwire::fuzz::SeedRecorder recorder{[&](std::vector<uint8_t> script) { recorded = std::move(script); }};
  tarnwire::fuzz::g_seedRecorder = &recorder;
  LLVMFuzzerTestOneInput(input.data(), input.size());
  tarnwire::fuzz::g_seedRecorder = nullptr;
  const std::vector<uint8_t> seed = requests.empty() ? recorded : tarnwire::fuzz::Join(recorded, requests);
  std::ofstream(out, std::ios::binary)
      .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
  std::printf("recorded %zu bytes into %s\n", seed.size(), out.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--record") return Record(argv[2], argv[3]);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (std::filesystem::exists(path)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR|FILE... (no input found)\n", argv[0]);
    return 2;
  }
  for (const auto& file : files) {
    const std::vector<uint8_t> input = ReadFile(file);
    std::fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), input.size());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%zu inputs ran without a finding\n", files.size());
  return 0;
}
