#pragma once

#include <gmock/gmock.h>

#include <string>

#include "RuntimeError.h"

namespace tidewell::test {

// Matches a callable that raises the run-time error numbered `number`, whose description
// matches `description`:
//   EXPECT_THAT([&] { DateTime::Parse("noon"); }, ThrowsRuntimeError(kErrTypeMismatch));
inline auto ThrowsRuntimeError(int number,
                               ::testing::Matcher<std::string> description = ::testing::_) {
  return ::testing::Throws<RuntimeError>(::testing::AllOf(
      ::testing::Property("Number", &RuntimeError::Number, number),
      ::testing::Property("Description", &RuntimeError::Description, description)));
}

}  // namespace tidewell::test
