// Side-by-side work for a job: the downloads of one file to its destinations run at the same time
// on a small set of threads made for that file and joined before it is left, whatever happens.
//
//   runSideBySide(destinations.size(), 16, stop, [&](std::size_t i) { send(destinations[i]); });
//
// The calling thread works too, so the work gets done even when no further thread can be made
// (the threads it could make carry on), and width 1 (or a single item) makes no thread at all.
#pragma once

#include <cstddef>
#include <functional>

#include "framework/StopToken.h"

namespace Zarvo::dsm {

// Calls work(0) ... work(count - 1), each exactly once or not at all, on at most `width` threads
// at once, the caller's included; items are taken in index order. Item 0 is always taken; later
// items are not taken once `stop` is requested, nor after an item has thrown. Returns when every
// item taken has ended and every thread made here has been joined, then rethrows the first
// exception an item threw.
//
// On the threads made here Zarvo::Thread::currentStopToken() is `stop`, so waits deep inside an
// item that honour the current thread's token (the inter-service client's retry pauses) end on
// it too.
void runSideBySide(std::size_t count, std::size_t width, const Zarvo::StopToken& stop,
                   const std::function<void(std::size_t)>& work);

}  // namespace Zarvo::dsm
