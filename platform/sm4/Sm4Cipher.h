#ifndef KS_SM4CIPHER_H
#define KS_SM4CIPHER_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The SM4 block cipher (GB/T 32907) under one 128-bit key, taken from
// OpenSSL's default provider. Only whole blocks go in and out: padding is the
// caller's business, so that a caller can tell a bad padding from a bad key.
//
// One object may be shared by several transports on several threads: every
// operation builds its own OpenSSL context.
class Sm4Cipher
{
public:
    static constexpr size_t KeySize = 16;
    static constexpr size_t BlockSize = 16;

    // A key of any other length than 16 bytes leaves the cipher unusable:
    // isValid() is false and every operation fails.
    explicit Sm4Cipher(const std::vector<uint8_t>& key);
    Sm4Cipher(const uint8_t* key, size_t length);
    ~Sm4Cipher();

    Sm4Cipher(const Sm4Cipher&) = delete;
    Sm4Cipher& operator=(const Sm4Cipher&) = delete;

    bool isValid() const { return m_valid; }
    size_t keyLength() const { return m_key.size(); }

    // Electronic code book, block by block. length must be a multiple of
    // BlockSize; in and out may be the same buffer. False on failure.
    bool encryptEcb(const uint8_t* in, size_t length, uint8_t* out) const;
    bool decryptEcb(const uint8_t* in, size_t length, uint8_t* out) const;

    // Cipher block chaining with the given 16-byte initial vector.
    bool encryptCbc(const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const;
    bool decryptCbc(const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const;

private:
    bool run(bool cbc, bool encrypt, const uint8_t* iv, const uint8_t* in, size_t length, uint8_t* out) const;

    std::vector<uint8_t> m_key;
    bool m_valid = false;
};

#endif // KS_SM4CIPHER_H
