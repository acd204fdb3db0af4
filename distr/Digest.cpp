#include "distr/Digest.h"

#include "distr/LocalFile.h"

#include <ostream>

namespace Patcher {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // upper case too: the text is kept as it was
}

} // namespace

const std::string* Digest::other() const {
    const std::string* text;
    std::memcpy(&text, bytes_, sizeof text);
    return text;
}

void Digest::release() {
    if (kind_ == kOther)
        delete other();
    kind_ = kEmpty;
}

void Digest::copyFrom(const Digest& other) {
    if (other.kind_ == kOther) {
        const std::string* copy = new std::string(*other.other());
        std::memcpy(bytes_, &copy, sizeof copy);
    } else {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    }
    kind_ = other.kind_;
}

void Digest::take(Digest& other) {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    kind_ = other.kind_;
    other.kind_ = kEmpty;
}

Digest& Digest::operator=(const Digest& other) {
    if (this != &other) {
        release();
        copyFrom(other);
    }
    return *this;
}

Digest& Digest::operator=(Digest&& other) noexcept {
    if (this != &other) {
        release();
        take(other);
    }
    return *this;
}

void Digest::assign(std::string_view text) {
    release();
    if (text.empty())
        return;
    bool digest = text.size() == 2 * sizeof bytes_;
    for (std::size_t i = 0; digest && i < sizeof bytes_; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        digest = high >= 0 && low >= 0;
        if (digest)
            bytes_[i] = static_cast<unsigned char>(high << 4 | low);
    }
    if (digest) {
        kind_ = kBytes;
        return;
    }
    const std::string* copy = new std::string(text);
    std::memcpy(bytes_, &copy, sizeof copy);
    kind_ = kOther;
}

void Digest::appendTo(std::string& out) const {
    if (kind_ == kBytes)
        appendHex(out, bytes_, sizeof bytes_);
    else if (kind_ == kOther)
        out += *other();
}

std::string Digest::text() const {
    std::string out;
    appendTo(out);
    return out;
}

std::size_t Digest::size() const {
    return kind_ == kBytes ? 2 * sizeof bytes_ : kind_ == kOther ? other()->size() : 0;
}

bool Digest::operator==(const Digest& other) const {
    if (kind_ != other.kind_)
        return false;
    if (kind_ == kOther)
        return *this->other() == *other.other();
    return kind_ == kEmpty || std::memcmp(bytes_, other.bytes_, sizeof bytes_) == 0;
}

bool Digest::equals(std::string_view text) const {
    if (kind_ == kOther)
        return std::string_view(*other()) == text;
    if (kind_ == kEmpty)
        return text.empty();
    if (text.size() != 2 * sizeof bytes_)
        return false;
    for (std::size_t i = 0; i < sizeof bytes_; ++i)
        if (hexValue(text[2 * i]) != bytes_[i] >> 4 || hexValue(text[2 * i + 1]) != (bytes_[i] & 15))
            return false;
    return true;
}

std::ostream& operator<<(std::ostream& out, const Digest& digest) {
    return out << digest.text();
}

} // namespace Patcher
