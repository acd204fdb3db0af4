#include "ravel/Failure.h"

#include "ravel/Exceptions.h"

#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/Net/SSLException.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cerrno>

namespace ravel {

namespace {

std::string statusText(const HTTPStatusException& exc) {
    std::string text = "HTTP " + std::to_string(exc.code());
    if (!exc.message().empty())
        text += " " + exc.message();
    return text;
}

} // namespace

Failure failureOf(const std::exception& exc) {
    Failure failure;
    failure.message = exc.what();
    const auto* poco = dynamic_cast<const Poco::Exception*>(&exc);
    if (!poco)
        return failure;
    failure.message = poco->displayText();
    failure.code = poco->code();
    if (const auto* status = dynamic_cast<const HTTPStatusException*>(&exc)) {
        const int code = status->code();
        failure.retryAfterMs = parseRetryAfter(status->retryAfter());
        if (code >= 400 && code < 500 && code != 408 && code != 429) {
            failure.permanent = true;
            if (code == 404 || code == 410)
                failure.message = "The file is not on the server (" + statusText(*status) + ")";
            else if (code == 403 || code == 401)
                failure.message = "The server denies access to the file (" + statusText(*status) + ")";
            else
                failure.message = "The server refused the request (" + statusText(*status) + ")";
        }
    } else if (dynamic_cast<const RedirectException*>(&exc) ||
               dynamic_cast<const UnsupportedProtocolException*>(&exc) ||
               dynamic_cast<const TooLargeException*>(&exc)) {
        failure.permanent = true;
    } else if (dynamic_cast<const Poco::Net::CertificateValidationException*>(&exc) ||
               dynamic_cast<const Poco::Net::InvalidCertificateException*>(&exc) ||
               (dynamic_cast<const Poco::Net::SSLException*>(&exc) &&
                poco->message().find("certificate verify failed") != std::string::npos)) {
        failure.permanent = true;
        failure.message = "The server's certificate was refused: " + poco->displayText();
    } else if (dynamic_cast<const Poco::FileException*>(&exc) && (poco->code() == ENOSPC || poco->code() == EDQUOT)) {
        failure.permanent = true;
        failure.message = "Not enough disk space: " + poco->displayText();
    }
    return failure;
}

std::int64_t parseRetryAfter(const std::string& value) {
    const std::string text = Poco::trim(value);
    if (text.empty())
        return -1;
    unsigned seconds = 0;
    if (Poco::NumberParser::tryParseUnsigned(text, seconds))
        return static_cast<std::int64_t>(seconds) * 1000;
    Poco::DateTime date;
    int zone = 0;
    if (!Poco::DateTimeParser::tryParse(text, date, zone))
        return -1;
    const Poco::Timestamp::TimeDiff ahead = date.timestamp() - Poco::Timestamp();
    return std::max<std::int64_t>(0, ahead / 1000);
}

std::int64_t RetryPolicy::delayMs(int failures, std::int64_t retryAfterMs, double jitter) const {
    std::int64_t delay = std::max<std::int64_t>(firstDelayMs, 0);
    for (int i = 1; i < failures && delay < maxDelayMs; ++i)
        delay *= 2;
    delay = std::min(delay, maxDelayMs);
    delay = delay / 2 + static_cast<std::int64_t>(jitter * static_cast<double>(delay - delay / 2));
    if (retryAfterMs >= 0)
        delay = std::max(delay, std::min(retryAfterMs, retryAfterMaxMs));
    return delay;
}

} // namespace ravel
