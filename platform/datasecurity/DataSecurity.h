#ifndef DS_DATASECURITY_H
#define DS_DATASECURITY_H

#include <string>

namespace ds
{

// Derives secrets that must not be stored in the clear.
class DataSecurity
{
public:
    // algorithm "MD5": the MD5 digest of key followed by input, as 32
    // lower-case hexadecimal characters. Any other algorithm name yields an
    // empty text. The result is the same on every run and every machine.
    static std::string decode(const std::string& algorithm, const std::string& input, const std::string& key);
};

} // namespace ds

#endif // DS_DATASECURITY_H
