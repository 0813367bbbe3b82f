#pragma once

#include <functional>

// Runs fn with fatalError turned into an exception and returns the code it
// raised, or -1 when it raised none. Only for code where unwinding is safe
// (no C frames between the call and fatalError) and nothing leaks on the way.
int fatalCodeOf(const std::function<void()>& fn);

// For the rest: a death test whose child reports the code on stderr and exits 1.
[[noreturn]] void exitReportingFatalCode(int code);
#define EXPECT_FATAL_EXIT(statement, code)                                                      \
  EXPECT_EXIT(                                                                                  \
      {                                                                                         \
        setFatalErrorHook(&exitReportingFatalCode);                                             \
        statement;                                                                              \
      },                                                                                        \
      ::testing::ExitedWithCode(1), "Error Code: " #code "\n")
