#pragma once

#include <chrono>
#include <functional>

// Polls `condition` every 20 ms until it holds or `timeout` has passed; true
// when it held, including at one last look after the timeout.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
