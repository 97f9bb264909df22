#include "publisher/crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "publisher/fs_util.h"

namespace publisher {

namespace {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string ToHex(const unsigned char* data, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, unsigned char* out, size_t size)
{
    if (hex.size() != size * 2)
        return false;
    for (size_t i = 0; i < size; ++i) {
        int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

std::string Sha256Hex(const void* data, size_t size)
{
    Sha256 sha;
    sha.Update(data, size);
    return sha.FinalHex();
}

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new()), m_ok(false)
{
    m_ok = m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_ctx);
}

bool Sha256::Update(const void* data, size_t size)
{
    m_ok = m_ok && EVP_DigestUpdate(m_ctx, data, size) == 1;
    return m_ok;
}

std::string Sha256::FinalHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_ctx, digest, &length) != 1 || length != 32)
        return "";
    m_ok = false;
    return ToHex(digest, length);
}

Status HashFile(const std::string& path, uint64_t* size, std::string* sha256Hex)
{
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return Fail(Exit::kIo, "cannot open " + path + ": " + strerror(errno));
    std::vector<unsigned char> buffer(1 << 20);
    Sha256 sha;
    uint64_t total = 0;
    for (;;) {
        ssize_t got = read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail(Exit::kIo, "cannot read " + path + ": " + strerror(errno));
        if (got == 0)
            break;
        sha.Update(buffer.data(), static_cast<size_t>(got));
        total += static_cast<uint64_t>(got);
    }
    *size = total;
    *sha256Hex = sha.FinalHex();
    if (sha256Hex->empty())
        return Fail(Exit::kIo, "SHA-256 failed for " + path);
    return Ok();
}

SigningKey::SigningKey() : m_key(nullptr) {}

SigningKey::~SigningKey()
{
    EVP_PKEY_free(m_key);
}

SigningKey::SigningKey(SigningKey&& other) noexcept : m_key(other.m_key)
{
    other.m_key = nullptr;
}

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept
{
    if (this != &other) {
        EVP_PKEY_free(m_key);
        m_key = other.m_key;
        other.m_key = nullptr;
    }
    return *this;
}

Status SigningKey::Generate(SigningKey* out)
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1)
        return Fail(Exit::kRepo, "cannot generate an Ed25519 key");
    EVP_PKEY_free(out->m_key);
    out->m_key = key;
    return Ok();
}

Status SigningKey::LoadPem(const std::string& path, SigningKey* out)
{
    std::string text;
    Status st = ReadFileCapped(path, 64 * 1024, &text);
    if (!st.ok())
        return Fail(Exit::kRepo, st.message);
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (key == nullptr || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        return Fail(Exit::kRepo, "not an Ed25519 private key: " + path);
    }
    EVP_PKEY_free(out->m_key);
    out->m_key = key;
    return Ok();
}

Status SigningKey::SavePem(const std::string& path) const
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || m_key == nullptr ||
        PEM_write_bio_PrivateKey(bio.get(), m_key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Fail(Exit::kRepo, "cannot encode a private key");
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return WriteFileAtomic(path, std::string(data, static_cast<size_t>(size)), 0600, true);
}

std::string SigningKey::PublicHex() const
{
    unsigned char raw[32];
    size_t size = sizeof raw;
    if (m_key == nullptr || EVP_PKEY_get_raw_public_key(m_key, raw, &size) != 1 || size != 32)
        return "";
    return ToHex(raw, size);
}

std::string SigningKey::SignHex(const std::string& message) const
{
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    unsigned char sig[64];
    size_t size = sizeof sig;
    if (m_key == nullptr || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_key) != 1 ||
        EVP_DigestSign(ctx.get(), sig, &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        size != 64)
        return "";
    return ToHex(sig, size);
}

bool VerifyEd25519(const std::string& publicHex, const std::string& message,
                   const std::string& signatureHex)
{
    unsigned char pub[32], sig[64];
    if (!FromHex(publicHex, pub, sizeof pub) || !FromHex(signatureHex, sig, sizeof sig))
        return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, sizeof pub));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    return key && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), sig, sizeof sig,
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

}  // namespace publisher
