// The block cipher against published known answers, in both directions: with the all-zero key
// every round key is zero and the two directions agree, so only the other keys catch a mix-up.
#include <gtest/gtest.h>

#include <vector>

#include "th/des.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const char* s) {
    Bytes b;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2) b.push_back(static_cast<uint8_t>(std::stoul(std::string(s + i, 2), nullptr, 16)));
    return b;
}

struct Vector {
    const char *key, *plain, *cipher;
};

TEST(Des, KnownAnswersEncipherAndDecipher) {
    const Vector vectors[] = {
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},   // the ECB example of the modes standard
        {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
        {"0101010101010101", "95F8A5E5DD31D900", "8000000000000000"},   // variable plaintext
        {"0101010101010101", "0000000000000000", "8CA64DE9C1B123A7"},
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},   // variable key
        {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},   // substitution tables
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.key);
        const Bytes key = hex(v.key), plain = hex(v.plain), cipher = hex(v.cipher);
        Bytes out(8);
        desEncryptBlock(key.data(), plain.data(), out.data());
        EXPECT_EQ(out, cipher);
        desDecryptBlock(key.data(), cipher.data(), out.data());
        EXPECT_EQ(out, plain);
    }
}

TEST(Des, WorksInPlace) {
    const Bytes key = hex("0123456789ABCDEF");
    Bytes block = hex("4E6F772069732074");
    desEncryptBlock(key.data(), block.data(), block.data());
    EXPECT_EQ(block, hex("3FA40E8A984D4815"));
    desDecryptBlock(key.data(), block.data(), block.data());
    EXPECT_EQ(block, hex("4E6F772069732074"));
}

} // namespace
