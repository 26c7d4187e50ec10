// Test helpers for the engine's numbered errors. Test code only.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/storage/base/tav_errors.h"

namespace tav::test {

// Runs f; the code of the engine error it raised (its message into `text`),
// or 0 when it raised none.
inline int ErrorCodeOf(const std::function<void()>& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    if (text) *text = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

// Runs f, which must raise the engine's error `code`; returns its message.
inline std::string EngineErrorOf(int code, const std::function<void()>& f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), code);
    return e.Message();
  }
  ADD_FAILURE() << "no engine error raised";
  return std::string();
}

}  // namespace tav::test
