#include "distr/Signature.h"

#include "distr/FileOps.h"

#include <Poco/Base64Decoder.h>
#include <Poco/Base64Encoder.h>
#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <iterator>
#include <sstream>

namespace Patcher {
namespace {

constexpr std::size_t kSignatureSize = 64;
// Far above a base64 signature: anything longer is not one, and is not decoded.
constexpr std::size_t kLongestSignatureText = 1024;

using KeyPtr = std::shared_ptr<EVP_PKEY>;

KeyPtr own(EVP_PKEY* key) { return KeyPtr(key, EVP_PKEY_free); }

// OpenSSL keeps errors in a per-thread queue that the TLS layer reads later:
// ours must not reach it.
[[noreturn]] void fail(const std::string& what) {
    ERR_clear_error();
    throw Poco::DataFormatException(what);
}

struct Bio {
    explicit Bio(BIO* b) : bio(b) {
        if (!bio)
            fail("cannot allocate a memory buffer");
    }
    ~Bio() { BIO_free(bio); }
    Bio(const Bio&) = delete;
    Bio& operator=(const Bio&) = delete;
    BIO* bio;
};

struct DigestContext {
    DigestContext() : ctx(EVP_MD_CTX_new()) {
        if (!ctx)
            fail("cannot allocate a signing context");
    }
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    EVP_MD_CTX* ctx;
};

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

KeyPtr checkedEd25519(EVP_PKEY* key, const std::string& what) {
    if (!key)
        fail(what + " is not a PEM key");
    KeyPtr owned = own(key);
    if (EVP_PKEY_id(key) != EVP_PKEY_ED25519)
        fail(what + " is not an Ed25519 key");
    return owned;
}

std::string publicPemOf(EVP_PKEY* key) {
    Bio out(BIO_new(BIO_s_mem()));
    if (PEM_write_bio_PUBKEY(out.bio, key) != 1)
        fail("cannot write a public key");
    return bioText(out.bio);
}

// Configuration files join continued lines and may turn the PEM lines into one:
// the base64 between the markers is laid out again.
std::string normalizedPem(const std::string& text) {
    static const std::string begin = "-----BEGIN PUBLIC KEY-----";
    static const std::string end = "-----END PUBLIC KEY-----";
    const std::size_t from = text.find(begin);
    const std::size_t to = text.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return text;
    std::string body;
    for (std::size_t i = from + begin.size(); i < to; ++i)
        if (!std::isspace(static_cast<unsigned char>(text[i])))
            body += text[i];
    std::string pem = begin + "\n";
    for (std::size_t i = 0; i < body.size(); i += 64)
        pem += body.substr(i, 64) + "\n";
    return pem + end + "\n";
}

bool decodeSignature(const std::string& text, std::string& raw) {
    const std::string trimmed = Poco::trim(text);
    if (trimmed.empty() || trimmed.size() > kLongestSignatureText)
        return false;
    try {
        std::istringstream in(trimmed);
        Poco::Base64Decoder decoder(in);
        raw.assign(std::istreambuf_iterator<char>(decoder), std::istreambuf_iterator<char>());
    } catch (const Poco::Exception&) {
        return false;
    }
    return raw.size() == kSignatureSize;
}

} // namespace

SigningKeyPair generateSigningKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY* key = nullptr;
    const bool made = ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!made)
        fail("cannot generate an Ed25519 key");
    KeyPtr owned = own(key);
    Bio out(BIO_new(BIO_s_mem()));
    if (PEM_write_bio_PrivateKey(out.bio, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("cannot write a private key");
    return SigningKeyPair{bioText(out.bio), publicPemOf(key)};
}

SigningKey::SigningKey(const std::string& privatePem) {
    Bio in(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    // No passphrase: OpenSSL would otherwise ask for one on the terminal.
    auto noPassphrase = [](char*, int, int, void*) { return 0; };
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in.bio, nullptr, noPassphrase, nullptr);
    if (!key)
        fail("the signing key is not a PEM private key without a passphrase");
    key_ = checkedEd25519(key, "the signing key");
}

std::string SigningKey::sign(const std::string& data) const {
    DigestContext digest;
    unsigned char signature[kSignatureSize];
    std::size_t size = sizeof signature;
    if (EVP_DigestSignInit(digest.ctx, nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(digest.ctx, signature, &size, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1)
        fail("cannot sign");
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.rdbuf()->setLineLength(0);
    encoder.write(reinterpret_cast<const char*>(signature), static_cast<std::streamsize>(size));
    encoder.close();
    return out.str();
}

std::string SigningKey::publicPem() const { return publicPemOf(key_.get()); }

TrustedKeys TrustedKeys::parse(const std::string& list, const std::string& baseDir) {
    TrustedKeys keys;
    Poco::StringTokenizer items(list, ",", Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const std::string& item : items) {
        if (item.find("-----BEGIN") != std::string::npos) {
            keys.add(item);
            continue;
        }
        Poco::Path path(item);
        if (path.isRelative() && !baseDir.empty())
            path = Poco::Path(Poco::Path(baseDir).makeDirectory(), path);
        std::string pem;
        try {
            pem = readWholeFile(path.toString());
        } catch (const Poco::Exception& e) {
            throw Poco::DataFormatException("cannot read the trusted key " + path.toString(), e.message());
        }
        try {
            keys.add(pem);
        } catch (const Poco::Exception& e) {
            throw Poco::DataFormatException(path.toString() + ": " + e.message());
        }
    }
    // A list that names nothing usable must not pass for "no verification".
    if (keys.empty() && !Poco::trim(list).empty())
        throw Poco::DataFormatException("no key in the trusted keys list", list);
    return keys;
}

void TrustedKeys::add(const std::string& publicPem) {
    const std::string pem = normalizedPem(publicPem);
    Bio in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    keys_.push_back(checkedEd25519(PEM_read_bio_PUBKEY(in.bio, nullptr, nullptr, nullptr), "the trusted key"));
}

TrustedKeys::Verdict TrustedKeys::verify(const std::string& data, const std::string& signatureText) const {
    std::string raw;
    if (!decodeSignature(signatureText, raw))
        return Verdict::Malformed;
    for (const KeyPtr& key : keys_) {
        DigestContext digest;
        if (EVP_DigestVerifyInit(digest.ctx, nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(digest.ctx, reinterpret_cast<const unsigned char*>(raw.data()), raw.size(),
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1)
            return Verdict::Trusted;
    }
    ERR_clear_error();
    return Verdict::Untrusted;
}

} // namespace Patcher
