#pragma once
// Waiting for a platform operation that reports through a completion handler.
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "platform/error.hpp"
#include "platform/stream.hpp"

namespace capture {

// Starts the operation with a completion and blocks until that completion has
// run; returns the error it reported, if any. The promise is owned by the
// completion, so a completion still unwinding on its own thread after the
// waiter has woken touches nothing that is gone.
inline std::optional<platform::PlatformError> awaitCompletion(
    const std::function<void(platform::Completion)>& operation) {
  auto done = std::make_shared<std::promise<std::optional<platform::PlatformError>>>();
  auto outcome = done->get_future();
  operation(
      [done](std::optional<platform::PlatformError> error) { done->set_value(std::move(error)); });
  return outcome.get();
}

}  // namespace capture
