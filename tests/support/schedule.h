// One schedule of the emulated machine: processor model (and processor count), scheduler kind
// (and PCT depth) and seed. A test that runs under a schedule can be replayed from its name or
// from the environment settings it prints.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "nt/kernel.h"

namespace test_support {

struct Processors {
  emu::ProcessorModel model = emu::ProcessorModel::Uniprocessor;
  unsigned count = emu::KernelConfig{}.processorCount;  // of the multiprocessor model
  bool operator==(const Processors& other) const;
};

struct Scheduling {
  emu::SchedulerKind kind = emu::SchedulerKind::Random;
  unsigned pctDepth = emu::KernelConfig{}.pctDepth;  // of the PCT scheduler
  bool operator==(const Scheduling& other) const;
};

struct Schedule {
  Processors processors;
  Scheduling scheduling;
  uint64_t seed = 1;

  // A kernel configuration with these settings (everything else as KernelConfig's defaults).
  emu::KernelConfig Config() const;
  // A test name suffix: "UP_seed3", "MP_pct_seed12", "MP4_pct5_seed12".
  std::string Name() const;
  // For people: "UP random seed 3", "MP4 pct seed 12".
  std::string Text() const;
  // The settings that select exactly this schedule:
  // "TARNWIRE_SEEDS=12 TARNWIRE_MODEL=mp4 TARNWIRE_SCHEDULER=pct".
  std::string Environment() const;
  bool operator==(const Schedule& other) const = default;
};

// The forms TARNWIRE_MODEL and TARNWIRE_SCHEDULER accept: "up", "mp", "mp4"; "random", "pct", "pct5".
std::string Token(const Processors& p);
std::string Token(const Scheduling& s);

// gtest prints a test's parameter with this (Text()).
std::ostream& operator<<(std::ostream& os, const Schedule& s);

}  // namespace test_support
