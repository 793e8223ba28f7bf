// The process tests' child program, started with a command line in a folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/process.h"

namespace qma::test {

inline const std::string kChild = QMA_TEST_CHILD;

/// The child program started with `command_line` in `dir`; a failed start fails the test.
inline platform::Process start(const std::string& command_line, const std::string& dir = "/") {
  auto process = platform::Process::spawn(kChild, command_line, dir);
  EXPECT_TRUE(process.ok()) << "spawn failed, errno " << process.error();
  return std::move(process).value();
}

}  // namespace qma::test
