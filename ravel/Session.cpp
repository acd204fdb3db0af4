#include "ravel/Session.h"

#include "ravel/Exceptions.h"

#include <Poco/String.h>
#include <Poco/URI.h>

namespace ravel {

SessionKey sessionKeyOf(const Poco::URI& uri) {
    const std::string scheme = Poco::toLower(uri.getScheme());
    if (scheme != "http" && scheme != "https")
        throw UnsupportedProtocolException("Unsupported protocol: " + uri.getScheme());
    SessionKey key;
    key.scheme = scheme;
    key.host = uri.getHost();
    key.port = uri.getPort(); // the scheme's default when the URL names none
    return key;
}

} // namespace ravel
