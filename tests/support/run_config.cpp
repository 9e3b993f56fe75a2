#include "support/run_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace test_support {

namespace {

const std::string kSeedForms =
    "a seed, a range first-last (first not above last) or a list of both, such as 17, 1-1000 or 3,17,40-50";
const std::string kModelForms =
    "up, mp, mp<N> for N processors (2 to " + std::to_string(kMaxProcessors) + "), or a list such as up,mp4";
const std::string kSchedulerForms = "random, pct, pct<D> for PCT depth D (1 to " +
                                    std::to_string(kMaxPctDepth) + "), or a list such as random,pct5";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void Reject(const char* variable, std::string_view text, std::string_view item,
                         const std::string& forms) {
  std::string message = std::string(variable) + "=\"" + std::string(text) + "\": ";
  if (item != text) message += "\"" + std::string(item) + "\" is not valid; ";
  throw std::invalid_argument(message + "accepted forms: " + forms);
}

// The comma-separated items of `text`, each trimmed and in lower case; an empty item is an error.
std::vector<std::string> Items(const char* variable, std::string_view text, const std::string& forms) {
  std::vector<std::string> items;
  for (size_t start = 0;;) {
    size_t comma = text.find(',', start);
    std::string_view item = Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (item.empty()) Reject(variable, text, item, forms);
    std::string lower(item);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    items.push_back(lower);
    if (comma == std::string_view::npos) return items;
    start = comma + 1;
  }
}

// A whole decimal number, or false.
bool Number(std::string_view s, uint64_t& value) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// `item` is `prefix` and then nothing (value `fallback`) or a number from `low` to `high`.
bool Suffix(std::string_view item, std::string_view prefix, unsigned low, unsigned high, unsigned fallback,
            unsigned& value) {
  if (item.substr(0, prefix.size()) != prefix) return false;
  std::string_view rest = item.substr(prefix.size());
  uint64_t n = fallback;
  if (!rest.empty() && !Number(rest, n)) return false;
  value = static_cast<unsigned>(n);
  return n >= low && n <= high;
}

// The items of `text`, each read by `read` (false: not valid), without repeats.
template <class T, class Read>
std::vector<T> ParseNames(const char* variable, std::string_view text, const std::string& forms, Read read) {
  std::vector<T> values;
  for (const std::string& item : Items(variable, text, forms)) {
    T value;
    if (!read(item, value)) Reject(variable, text, item, forms);
    if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
  }
  return values;
}

}  // namespace

std::vector<uint64_t> ParseSeeds(std::string_view text) {
  constexpr const char* kVariable = "TARNWIRE_SEEDS";
  std::vector<uint64_t> seeds;
  std::unordered_set<uint64_t> seen;
  uint64_t total = 0;
  for (std::string_view item : Items(kVariable, text, kSeedForms)) {
    size_t dash = item.find('-');
    uint64_t low = 0, high = 0;
    bool ok = dash == std::string_view::npos
                  ? Number(item, low) && Number(item, high)
                  : Number(Trim(item.substr(0, dash)), low) && Number(Trim(item.substr(dash + 1)), high);
    if (!ok || low > high) Reject(kVariable, text, item, kSeedForms);
    total += high - low + 1;
    if (high - low >= kMaxSeeds || total > kMaxSeeds) {
      throw std::invalid_argument(std::string(kVariable) + "=\"" + std::string(text) + "\": more than " +
                                  std::to_string(kMaxSeeds) + " seeds");
    }
    for (uint64_t seed = low;; ++seed) {
      if (seen.insert(seed).second) seeds.push_back(seed);
      if (seed == high) break;
    }
  }
  return seeds;
}

std::vector<Processors> ParseModels(std::string_view text) {
  return ParseNames<Processors>("TARNWIRE_MODEL", text, kModelForms,
                                [](const std::string& item, Processors& p) {
                                  if (item == "up") return true;
                                  p.model = emu::ProcessorModel::Multiprocessor;
                                  return Suffix(item, "mp", 2, kMaxProcessors, p.count, p.count);
                                });
}

std::vector<Scheduling> ParseSchedulers(std::string_view text) {
  return ParseNames<Scheduling>("TARNWIRE_SCHEDULER", text, kSchedulerForms,
                                [](const std::string& item, Scheduling& s) {
                                  if (item == "random") return true;
                                  s.kind = emu::SchedulerKind::Pct;
                                  return Suffix(item, "pct", 1, kMaxPctDepth, s.pctDepth, s.pctDepth);
                                });
}

RunConfig RunConfig::Parse(const char* seeds, const char* models, const char* schedulers) {
  auto given = [](const char* value) { return value != nullptr && *value != '\0'; };
  RunConfig config;
  if (given(seeds)) config.seeds = ParseSeeds(seeds);
  if (given(models)) config.models = ParseModels(models);
  if (given(schedulers)) config.schedulers = ParseSchedulers(schedulers);
  return config;
}

namespace {

std::vector<Schedule> Combinations(const std::vector<Processors>& models,
                                   const std::vector<Scheduling>& schedulers,
                                   const std::vector<uint64_t>& seeds) {
  std::vector<Schedule> all;
  all.reserve(models.size() * schedulers.size() * seeds.size());
  for (const Processors& p : models) {
    for (const Scheduling& s : schedulers) {
      for (uint64_t seed : seeds) all.push_back(Schedule{p, s, seed});
    }
  }
  return all;
}

}  // namespace

std::vector<Processors> RunConfig::SweepModels() const {
  if (!models.empty()) return models;
  return {Processors{}, Processors{emu::ProcessorModel::Multiprocessor}};
}

std::vector<Scheduling> RunConfig::SweepSchedulers() const {
  if (!schedulers.empty()) return schedulers;
  return {Scheduling{}, Scheduling{emu::SchedulerKind::Pct}};
}

std::vector<uint64_t> RunConfig::SweepSeeds() const {
  if (!seeds.empty()) return seeds;
  std::vector<uint64_t> first;
  for (uint64_t seed = 1; seed <= kDefaultSeedCount; ++seed) first.push_back(seed);
  return first;
}

std::vector<Schedule> RunConfig::Sweep() const {
  return Combinations(SweepModels(), SweepSchedulers(), SweepSeeds());
}

std::vector<Schedule> RunConfig::Plain() const {
  return Combinations(models.empty() ? std::vector<Processors>{Processors{}} : models,
                      schedulers.empty() ? std::vector<Scheduling>{Scheduling{}} : schedulers,
                      seeds.empty() ? std::vector<uint64_t>{1} : seeds);
}

const RunConfig& Environment() {
  static const RunConfig config = [] {
    try {
      return RunConfig::Parse(std::getenv("TARNWIRE_SEEDS"), std::getenv("TARNWIRE_MODEL"),
                              std::getenv("TARNWIRE_SCHEDULER"));
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "%s\n", e.what());
      std::exit(2);
    }
  }();
  return config;
}

}  // namespace test_support
