// The operation error: what every media operation returns instead of a result when it fails.
#pragma once

#include <string>

#include "core/expected.hpp"

namespace plexo {

// The messages themselves are named in core/messages.hpp.
enum class ErrorCategory {
  kInvalidData,
  kUnexpectedEnd,
};

struct Error {
  std::string message;
  ErrorCategory category = ErrorCategory::kInvalidData;
  // The errno of a failed system call (reading or writing a file); 0 for the media's own errors.
  int system_error = 0;
};

template <class T>
using Result = Expected<T, Error>;

using Status = Expected<void, Error>;

inline Unexpected<Error> fail(std::string message,
                              ErrorCategory category = ErrorCategory::kInvalidData) {
  return {Error{std::move(message), category}};
}

}  // namespace plexo

// Evaluates a Result-returning expression; on failure returns its error from the enclosing
// function, otherwise yields the value. (A GNU statement expression: g++ and clang both take it.)
#define PLEXO_TRY(expr)                                           \
  ({                                                              \
    auto&& plexo_try_result_ = (expr);                            \
    if (!plexo_try_result_)                                       \
      return ::plexo::Unexpected<::plexo::Error>{                 \
          std::move(plexo_try_result_).error()};                  \
    std::move(plexo_try_result_).value();                         \
  })

// The same for Status-returning expressions, which yield nothing.
#define PLEXO_CHECK(expr)                                         \
  do {                                                            \
    auto&& plexo_check_result_ = (expr);                          \
    if (!plexo_check_result_)                                     \
      return ::plexo::Unexpected<::plexo::Error>{                 \
          std::move(plexo_check_result_).error()};                \
  } while (0)
