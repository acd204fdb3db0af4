#pragma once

#include <memory>
#include <string>
#include <vector>

struct evp_pkey_st;

namespace Patcher {

// Ed25519 signatures of descriptions: the publisher signs the exact bytes of each
// "version-info.txt" it writes, the updater checks them against the keys its
// configuration trusts. Keys travel as PEM (PKCS#8 private, SubjectPublicKeyInfo
// public); a signature as one line of base64. Key errors throw
// Poco::DataFormatException naming what was read.

struct SigningKeyPair {
    std::string privatePem;
    std::string publicPem;
};

SigningKeyPair generateSigningKey();

class SigningKey {
public:
    explicit SigningKey(const std::string& privatePem);
    // The signature of data, base64 without line breaks.
    std::string sign(const std::string& data) const;
    std::string publicPem() const;

private:
    std::shared_ptr<evp_pkey_st> key_;
};

class TrustedKeys {
public:
    enum class Verdict { Trusted, Malformed, Untrusted };

    // list: ","-separated items, each a PEM public key written inline (line breaks
    // may be lost to the configuration file) or the path of a PEM file, relative
    // paths taken from baseDir.
    static TrustedKeys parse(const std::string& list, const std::string& baseDir);
    void add(const std::string& publicPem);

    bool empty() const { return keys_.empty(); }
    std::size_t size() const { return keys_.size(); }
    // signatureText: the signature file's content (white space around it ignored).
    Verdict verify(const std::string& data, const std::string& signatureText) const;

private:
    std::vector<std::shared_ptr<evp_pkey_st>> keys_;
};

} // namespace Patcher
