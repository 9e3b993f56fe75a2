#include "support/schedule.h"

#include <cctype>
#include <ostream>

namespace test_support {

namespace {

const emu::KernelConfig kDefaults;

bool Multiprocessor(const Processors& p) { return p.model == emu::ProcessorModel::Multiprocessor; }
bool Pct(const Scheduling& s) { return s.kind == emu::SchedulerKind::Pct; }

// "UP", "MP", "MP4".
std::string ModelLabel(const Processors& p) {
  std::string label = Token(p);
  for (char& c : label) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return label;
}

}  // namespace

bool Processors::operator==(const Processors& other) const {
  return model == other.model && (!Multiprocessor(*this) || count == other.count);
}

bool Scheduling::operator==(const Scheduling& other) const {
  return kind == other.kind && (!Pct(*this) || pctDepth == other.pctDepth);
}

std::string Token(const Processors& p) {
  if (!Multiprocessor(p)) return "up";
  return p.count == kDefaults.processorCount ? "mp" : "mp" + std::to_string(p.count);
}

std::string Token(const Scheduling& s) {
  if (!Pct(s)) return "random";
  return s.pctDepth == kDefaults.pctDepth ? "pct" : "pct" + std::to_string(s.pctDepth);
}

emu::KernelConfig Schedule::Config() const {
  emu::KernelConfig config;
  config.seed = seed;
  config.processors = processors.model;
  if (Multiprocessor(processors)) config.processorCount = processors.count;
  config.scheduler = scheduling.kind;
  if (Pct(scheduling)) config.pctDepth = scheduling.pctDepth;
  return config;
}

std::string Schedule::Name() const {
  std::string name = ModelLabel(processors) + "_";
  if (Pct(scheduling)) name += Token(scheduling) + "_";
  return name + "seed" + std::to_string(seed);
}

std::string Schedule::Text() const {
  return ModelLabel(processors) + " " + Token(scheduling) + " seed " + std::to_string(seed);
}

std::string Schedule::Environment() const {
  return "TARNWIRE_SEEDS=" + std::to_string(seed) + " TARNWIRE_MODEL=" + Token(processors) +
         " TARNWIRE_SCHEDULER=" + Token(scheduling);
}

std::ostream& operator<<(std::ostream& os, const Schedule& s) { return os << s.Text(); }

}  // namespace test_support
