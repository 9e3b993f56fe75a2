// Expectations for the verifier: a statement (usually kernel.Run() or a direct kernel call) must
// stop the machine with a given bug check. Reusable by every test program.
//   EXPECT_BUGCHECK(code, statement)
//   EXPECT_BUGCHECK_THAT(code, statement, checks)  // `checks` sees the error as `bugcheck`
//                                                   // (also bound as `error`)
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nt/kernel.h"

namespace emu::testing {

inline std::string BugCheckCodeText(ULONG_PTR code) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(code));
  return buf;
}

}  // namespace emu::testing

// Runs `statement`, which must raise a bug check with `bugcheck_code`; then runs `checks` with
// the caught error bound to `bugcheck` and to `error` (const emu::BugCheckError&).
#define EXPECT_BUGCHECK_THAT(bugcheck_code, statement, checks)                                             \
  do {                                                                                                     \
    const ULONG expected_bugcheck_code_ = static_cast<ULONG>(bugcheck_code);                               \
    bool bugcheck_raised_ = false;                                                                         \
    try {                                                                                                  \
      statement;                                                                                           \
    } catch (const emu::BugCheckError& bugcheck) {                                                         \
      const emu::BugCheckError& error = bugcheck;                                                          \
      (void)error;                                                                                         \
      bugcheck_raised_ = true;                                                                             \
      EXPECT_EQ(expected_bugcheck_code_, bugcheck.code)                                                    \
          << "expected bug check " << emu::testing::BugCheckCodeText(expected_bugcheck_code_) << " from `" \
          << #statement << "`, got " << emu::testing::BugCheckCodeText(bugcheck.code) << "\n"              \
          << bugcheck.report;                                                                              \
      checks;                                                                                              \
    }                                                                                                      \
    EXPECT_TRUE(bugcheck_raised_) << "`" << #statement << "` did not raise bug check "                     \
                                  << emu::testing::BugCheckCodeText(expected_bugcheck_code_);              \
  } while (0)

#define EXPECT_BUGCHECK(bugcheck_code, statement) \
  EXPECT_BUGCHECK_THAT(bugcheck_code, statement, (void)bugcheck)
