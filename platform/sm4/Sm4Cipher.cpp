#include "sm4/Sm4Cipher.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace
{

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

const EVP_CIPHER* sm4(bool cbc)
{
    // Fetched once; fetched algorithms are safe to share between threads.
    static const EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
    static const EVP_CIPHER* chained = EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr);
    return cbc ? chained : ecb;
}

} // namespace

Sm4Cipher::Sm4Cipher(const std::vector<uint8_t>& key)
    : Sm4Cipher(key.data(), key.size())
{
}

Sm4Cipher::Sm4Cipher(const uint8_t* key, size_t length)
    : m_key(key, key + length)
    , m_valid(length == KeySize && sm4(false) != nullptr && sm4(true) != nullptr)
{
}

Sm4Cipher::~Sm4Cipher()
{
    OPENSSL_cleanse(m_key.data(), m_key.size());
}

bool Sm4Cipher::encryptEcb(const uint8_t* in, size_t length, uint8_t* out) const
{
    return run(false, true, nullptr, in, length, out);
}

bool Sm4Cipher::decryptEcb(const uint8_t* in, size_t length, uint8_t* out) const
{
    return run(false, false, nullptr, in, length, out);
}

bool Sm4Cipher::encryptCbc(const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const
{
    return iv != nullptr && run(true, true, iv, in, length, out);
}

bool Sm4Cipher::decryptCbc(const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const
{
    return iv != nullptr && run(true, false, iv, in, length, out);
}

bool Sm4Cipher::run(bool cbc, bool encrypt, const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const
{
    if (!m_valid || length % BlockSize != 0 || length > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex2(ctx.get(), sm4(cbc), m_key.data(), iv, encrypt ? 1 : 0, nullptr) != 1) {
        return false;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1) {
        return false;
    }
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out + written, &tail) != 1) {
        return false;
    }
    return static_cast<size_t>(written + tail) == length;
}
