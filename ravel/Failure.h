#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace ravel {

// What one failed attempt means for its request.
struct Failure {
    std::string message;
    int code = 0;
    bool permanent = false;         // asking again cannot help: the request ends at once
    std::int64_t retryAfterMs = -1; // the server's Retry-After, -1 for none
};

// The failure an exception of a session, a segment or the storage stands for.
// A 4xx answer other than 408 and 429, a refused certificate, a redirect loop,
// an unknown scheme, a resource over its size limit and a full disk are
// permanent, each with its own message; everything else (resets, timeouts,
// 5xx, 408, 429) is worth another attempt.
Failure failureOf(const std::exception& exc);

// Retry-After as delta seconds or an HTTP date, in milliseconds from now; -1
// when absent or unreadable.
std::int64_t parseRetryAfter(const std::string& value);

// When a failed request is tried again. Thousands of clients fail together when
// a server struggles: the pause doubles per failure and is spread by jitter.
struct RetryPolicy {
    std::int64_t firstDelayMs = 1000;
    std::int64_t maxDelayMs = 30000;
    std::int64_t retryAfterMaxMs = 60000; // a longer Retry-After is cut to this
    std::int64_t retryTimeMs = 180000;    // from the first failure of a request to giving up

    // The pause after `failures` failed attempts (1 for the first); jitter in
    // [0, 1) picks it from the upper half of the doubled delay.
    std::int64_t delayMs(int failures, std::int64_t retryAfterMs, double jitter) const;
};

} // namespace ravel
