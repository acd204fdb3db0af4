// The LZMA decoder on arbitrary streams: decoded, or a clean error. Output is
// counted, not kept, and capped so that a tiny stream cannot expand forever.
#include "distr/SevenZip.h"

#include <Poco/Exception.h>

#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>

namespace {

class CountingBuffer : public std::streambuf {
public:
    static constexpr std::streamsize kLimit = 4 << 20;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        if (count_ + n > kLimit)
            return 0;
        count_ += n;
        return n;
    }
    int_type overflow(int_type c) override { return xsputn(nullptr, 1) == 1 ? c : traits_type::eof(); }

private:
    std::streamsize count_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Huge dictionaries only exercise the allocator (and are slow under ASan);
    // the decoder's limit for them is covered by the unit tests.
    if (size >= 5 && (data[4] > 0 || data[3] > 0x40))
        return 0;
    static Patcher::SevenZip codec;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    CountingBuffer sink;
    std::ostream out(&sink);
    codec.setPackedSize(size);
    try {
        codec.decode(in, out);
    } catch (const Poco::Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
