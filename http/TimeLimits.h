// Every time limit of the system in one reviewable place, with its production value. Classes
// that wait take these as the defaults of their limit structs; tests pass shorter values in,
// and no default is ever lowered to make a test fast.
//
// It lives in http/ because that is the lowest library that waits: everything above includes it.
#pragma once

#include <chrono>

namespace Zarvo::limits {

using std::chrono::milliseconds;

// --- Between services (the inter-service client) ---
// Establishing the TCP connection to another service.
inline constexpr milliseconds kServiceConnect{10'000};
// Each wait for more response bytes from another service.
inline constexpr milliseconds kClientReadWait{120'000};
// The whole response, head and body: a peer sending a byte now and then cannot hold the
// calling thread for longer than this.
inline constexpr milliseconds kClientReadTotal{600'000};
// The pause between two attempts to reach a service that could not be found or reached.
inline constexpr milliseconds kRetryPause{3'000};

// --- Our HTTP server (the listener's connections) ---
// Each wait for more request bytes.
inline constexpr milliseconds kServerReadWait{30'000};
// The whole request head, and separately the whole body, however they trickle in.
inline constexpr milliseconds kServerHeadTotal{30'000};
inline constexpr milliseconds kServerBodyTotal{30'000};
// The peer closing its side after our answer; a peer that never does is cut off after this.
inline constexpr milliseconds kServerCloseWait{30'000};

// --- Both directions between services ---
// Each wait for the socket to take more bytes of a request or an answer.
inline constexpr milliseconds kWriteWait{30'000};

// --- Devices ---
// Establishing the TCP connection to a device's print port.
inline constexpr milliseconds kDeviceConnect{30'000};
// A write wait on the print port that makes no progress: a device whose buffer is full keeps
// the transfer alive as long as it takes bytes now and then.
inline constexpr milliseconds kDeviceWriteWait{30'000};
// The graceful close of the print port after the last byte.
inline constexpr milliseconds kDeviceClose{30'000};
// A download's wait for the device to confirm it took the file.
inline constexpr milliseconds kConfirmWait{300'000};
// Establishing the connection to a device's own web pages.
inline constexpr milliseconds kDeviceHttpConnect{30'000};
// A device web page that moves (next to) no bytes for this long is given up (whole seconds:
// the HTTP library's granularity).
inline constexpr std::chrono::seconds kDeviceHttpStall{120};

// A caller must outwait the callee: a service that uses its own read and write waits in full
// is still answered within the client's read wait, and the whole read is allowed at least one.
static_assert(kClientReadWait > kServerReadWait + kWriteWait);
static_assert(kClientReadTotal >= kClientReadWait);

// --- The host itself ---
// Time for pending events (queued thread deletions and the like) between two service stops.
inline constexpr milliseconds kStopEventWindow{1'500};
// Longest single wait of a service stop between two looks at its requests in progress.
inline constexpr milliseconds kServiceStopPoll{1'000};

}  // namespace Zarvo::limits
