// The LZMA decoder on arbitrary streams: decoded, or a clean error. The output
// is capped so that a tiny stream cannot expand forever.
#include "distr/SevenZip.h"

#include <Poco/Exception.h>

#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Huge dictionaries only exercise the allocator (and are slow under ASan);
    // the decoder's limit for them is covered by the unit tests.
    if (size >= 5 && (data[4] > 0 || data[3] > 0x40))
        return 0;
    static Patcher::SevenZip codec;
    codec.setOutputLimit(4 << 20);
    codec.setPackedSize(size);
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream out;
    try {
        codec.decode(in, out);
    } catch (const Poco::Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
