#include "datasecurity/DataSecurity.h"

#include <openssl/evp.h>

#include <memory>

namespace ds
{

namespace
{

struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string md5Hex(const std::string& key, const std::string& input)
{
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1
        || EVP_DigestUpdate(ctx.get(), key.data(), key.size()) != 1
        || EVP_DigestUpdate(ctx.get(), input.data(), input.size()) != 1
        || EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        return {};
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

} // namespace

std::string DataSecurity::decode(const std::string& algorithm, const std::string& input, const std::string& key)
{
    if (algorithm == "MD5") {
        return md5Hex(key, input);
    }
    return {};
}

} // namespace ds
