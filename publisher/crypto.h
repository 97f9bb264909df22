// SHA-256 and Ed25519 over OpenSSL 3, with keys kept as PKCS#8 PEM files.
//
// Hex is always lower case. A SigningKey owns its OpenSSL key and frees it
// with itself. Nothing throws; failures come back as false or a Status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "publisher/status.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace publisher {

std::string ToHex(const unsigned char* data, size_t size);
// Decodes exactly size bytes of lower-case hex; false on anything else.
bool FromHex(const std::string& hex, unsigned char* out, size_t size);

std::string Sha256Hex(const void* data, size_t size);
inline std::string Sha256Hex(const std::string& s)
{
    return Sha256Hex(s.data(), s.size());
}

// SHA-256 over data that arrives in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    bool Update(const void* data, size_t size);
    // Lower-case hex of the digest, "" when OpenSSL failed at any point.
    std::string FinalHex();

private:
    EVP_MD_CTX* m_ctx;
    bool m_ok;
};

// Length and SHA-256 of a regular file, read in 1 MiB pieces.
Status HashFile(const std::string& path, uint64_t* size, std::string* sha256Hex);

class SigningKey {
public:
    SigningKey();
    ~SigningKey();
    SigningKey(SigningKey&& other) noexcept;
    SigningKey& operator=(SigningKey&& other) noexcept;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    static Status Generate(SigningKey* out);
    static Status LoadPem(const std::string& path, SigningKey* out);
    // Written 0600 through a temporary file.
    Status SavePem(const std::string& path) const;

    bool valid() const { return m_key != nullptr; }
    // The raw 32-byte public key in hex.
    std::string PublicHex() const;
    // The 64-byte signature in hex, "" when signing failed.
    std::string SignHex(const std::string& message) const;

private:
    EVP_PKEY* m_key;
};

bool VerifyEd25519(const std::string& publicHex, const std::string& message,
                   const std::string& signatureHex);

}  // namespace publisher
