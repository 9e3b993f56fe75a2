// Expectations for the verifier: a statement (usually kernel.Run() or a direct kernel call) must
// stop the machine with a given bug check. Reusable by every test program.
//   EXPECT_BUGCHECK(code, statement)
//   EXPECT_BUGCHECK_P1(code, firstParameter, statement)
//   EXPECT_BUGCHECK_THAT(code, statement, checks)   // `checks` sees the error as `bugcheck`
#pragma once

#include <gtest/gtest.h>

#include "nt/kernel.h"

#include <cstdio>
#include <string>

namespace emu::testing {

inline std::string BugCheckName(ULONG code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(code));
  return buf;
}

}  // namespace emu::testing

// Runs `statement`, which must raise a bug check with `code`; then runs `checks` with the caught
// error bound to `bugcheck` (const emu::BugCheckError&).
#define EXPECT_BUGCHECK_THAT(code, statement, checks)                                          \
  do {                                                                                         \
    bool bugcheck_raised_ = false;                                                             \
    try {                                                                                      \
      statement;                                                                               \
    } catch (const emu::BugCheckError& bugcheck) {                                             \
      bugcheck_raised_ = true;                                                                 \
      EXPECT_EQ(static_cast<ULONG>(code), bugcheck.code)                                       \
          << "expected bug check " << emu::testing::BugCheckName(code) << " from `"            \
          << #statement << "`, got " << emu::testing::BugCheckName(bugcheck.code) << "\n"      \
          << bugcheck.report;                                                                  \
      checks;                                                                                  \
    }                                                                                          \
    EXPECT_TRUE(bugcheck_raised_) << "`" << #statement << "` did not raise bug check "         \
                                  << emu::testing::BugCheckName(code);                         \
  } while (0)

#define EXPECT_BUGCHECK(code, statement) EXPECT_BUGCHECK_THAT(code, statement, (void)bugcheck)

// Same, and also checks the first bug check parameter (the subcode of 0xC4, 0xC2, 0xC9, ...).
#define EXPECT_BUGCHECK_P1(code, p1, statement)                                                \
  EXPECT_BUGCHECK_THAT(code, statement,                                                        \
                       EXPECT_EQ(static_cast<ULONG_PTR>(p1), bugcheck.params[0])               \
                           << "bug check " << emu::testing::BugCheckName(code)                 \
                           << " raised with the wrong first parameter\n"                       \
                           << bugcheck.report)
