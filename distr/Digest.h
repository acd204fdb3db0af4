#pragma once

#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace Patcher {

// A hash as text: 40 lowercase hex digits are held in 20 bytes, any other text
// (empty, a damaged line's, upper case) as given. A distribution of a million
// files holds millions of them, so the whole value is 21 bytes.
class Digest {
public:
    Digest() = default;
    explicit Digest(std::string_view text) { assign(text); }
    Digest(const std::string& text) : Digest(std::string_view(text)) {} // NOLINT: a hash is text
    Digest(const char* text) : Digest(std::string_view(text)) {}        // NOLINT
    Digest(const Digest& other) { copyFrom(other); }
    Digest(Digest&& other) noexcept { take(other); }
    Digest& operator=(const Digest& other);
    Digest& operator=(Digest&& other) noexcept;
    Digest& operator=(std::string_view text) { return *this = Digest(text); }
    Digest& operator=(const std::string& text) { return *this = Digest(text); }
    Digest& operator=(const char* text) { return *this = Digest(text); }
    ~Digest() { release(); }

    void assign(std::string_view text);
    std::string text() const;
    operator std::string() const { return text(); } // NOLINT: callers take the text
    void appendTo(std::string& out) const;
    bool empty() const { return kind_ == kEmpty; }
    std::size_t size() const;

    bool operator==(const Digest& other) const;
    bool operator!=(const Digest& other) const { return !(*this == other); }
    bool equals(std::string_view text) const;

private:
    enum : unsigned char { kEmpty, kBytes, kOther };
    const std::string* other() const;
    void copyFrom(const Digest& other);
    void take(Digest& other);
    void release();

    unsigned char bytes_[20];   // the digest, or a pointer to the other text
    unsigned char kind_ = kEmpty;
};

inline bool operator==(const Digest& a, const std::string& b) { return a.equals(b); }
inline bool operator==(const std::string& a, const Digest& b) { return b.equals(a); }
inline bool operator!=(const Digest& a, const std::string& b) { return !a.equals(b); }
inline bool operator!=(const std::string& a, const Digest& b) { return !b.equals(a); }
inline bool operator==(const Digest& a, const char* b) { return a.equals(b); }
inline bool operator==(const char* a, const Digest& b) { return b.equals(a); }
inline bool operator!=(const Digest& a, const char* b) { return !a.equals(b); }
inline bool operator!=(const char* a, const Digest& b) { return !b.equals(a); }
inline std::string operator+(std::string a, const Digest& b) {
    b.appendTo(a);
    return a;
}
inline std::string operator+(const char* a, const Digest& b) { return std::string(a) + b; }
inline std::string operator+(const Digest& a, const std::string& b) { return a.text() + b; }
inline std::string operator+(const Digest& a, const char* b) { return a.text() + b; }
std::ostream& operator<<(std::ostream& out, const Digest& digest);

} // namespace Patcher
