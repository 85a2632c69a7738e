#include "jobs/cipher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kv {
namespace {

struct Vector {
    std::string plain;
    std::string cipher;
};

// Vectors made by OpenSSL's DES-ECB (see tests/fixtures/cipher/make_vectors.sh).
std::vector<Vector> LoadVectors() {
    std::vector<Vector> vectors;
    std::ifstream in(KV_FIXTURES "/cipher/des_ecb_vectors.txt", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto sep = line.rfind(" ; ");
        if (sep == std::string::npos) {
            ADD_FAILURE() << "bad fixture line: " << line;
            continue;
        }
        vectors.push_back({line.substr(0, sep), line.substr(sep + 3)});
    }
    return vectors;
}

bool IsBase64Text(const std::string& s) {
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto pad = s.find('=');
    if (pad != std::string::npos && pad + 2 < s.size()) return false;  // "=" only at the end
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i >= pad) {
            if (s[i] != '=') return false;
        } else if (alphabet.find(s[i]) == std::string::npos) {
            return false;
        }
    }
    return s.size() % 4 == 0;
}

// Runs first, before anything else in this program has touched the cipher: threads that
// race to the first use must all see a finished key schedule.
TEST(PasswordCipher, ConcurrentFirstUseWithoutInit) {
    const auto vectors = LoadVectors();
    ASSERT_FALSE(vectors.empty());
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (const auto& v : vectors) {
                if (EncipherPassword(v.plain) != v.cipher) ++failures[t];
                if (DecipherPassword(v.cipher) != v.plain) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    InitPasswordCipher();  // a later explicit call changes nothing
    EXPECT_EQ(EncipherPassword(vectors[0].plain), vectors[0].cipher);
}

TEST(PasswordCipher, MatchesIndependentDesEcbBothWays) {
    InitPasswordCipher();
    const auto vectors = LoadVectors();
    ASSERT_GE(vectors.size(), 10u);
    for (const auto& v : vectors) {
        EXPECT_EQ(EncipherPassword(v.plain), v.cipher) << "plain '" << v.plain << "'";
        EXPECT_EQ(DecipherPassword(v.cipher), v.plain) << "cipher " << v.cipher;
    }
}

TEST(PasswordCipher, CipherTextLengthFollowsWholeBlocks) {
    struct Case {
        std::size_t passwordLength;
        std::size_t textLength;
    } cases[] = {
        {0, 12},   // only the terminating zero: one block
        {7, 12},   // seven characters and the zero fill one block exactly
        {8, 24},   // the zero needs a second block
        {15, 24},
        {16, 32},
        {50, 76},  // the longest password a field holds
    };
    for (const auto& c : cases) {
        const std::string text = EncipherPassword(std::string(c.passwordLength, 'x'));
        EXPECT_EQ(text.size(), c.textLength) << c.passwordLength;
        EXPECT_EQ(EncipheredPasswordLength(c.passwordLength), c.textLength) << c.passwordLength;
    }
    const std::string empty = EncipherPassword("");
    ASSERT_EQ(empty.size(), 12u);
    EXPECT_EQ(empty.back(), '=');
    EXPECT_NE(empty[10], '=');  // 8 bytes end in a group of 2: one "=", not two
}

TEST(PasswordCipher, RoundTripsEveryLengthUpTo50) {
    for (std::size_t n = 0; n <= 50; ++n) {
        std::string password;
        for (std::size_t i = 0; i < n; ++i)
            password.push_back(static_cast<char>(1 + (i * 37 + n * 11) % 255));  // any non-zero byte
        const std::string text = EncipherPassword(password);
        const std::size_t m = (n + 1 + 7) / 8 * 8;
        EXPECT_EQ(text.size(), 4 * ((m + 2) / 3)) << n;
        EXPECT_TRUE(IsBase64Text(text)) << n << ": " << text;
        EXPECT_EQ(DecipherPassword(text), password) << n;
    }
}

TEST(PasswordCipher, ByteCountIsTheCallersChoice) {
    EXPECT_EQ(EncipherPasswordBytes("abc", 0), "");
    EXPECT_EQ(DecipherPasswordBytes("abc", 0), "");
    // Passing length + 1 is what EncipherPassword does.
    EXPECT_EQ(EncipherPasswordBytes("abc", 4), EncipherPassword("abc"));
    // Without the zero, 8 bytes fill one block; deciphering finds no zero and keeps all 8.
    const std::string text = EncipherPasswordBytes("12345678", 8);
    EXPECT_EQ(text.size(), 12u);
    EXPECT_EQ(DecipherPasswordBytes(text.data(), text.size()), "12345678");
    // A zero inside the bytes ends the deciphered password there.
    const std::string withZero = EncipherPasswordBytes("ab\0cd", 6);
    EXPECT_EQ(DecipherPassword(withZero), "ab");
}

TEST(PasswordCipher, MalformedTextGivesEmptyPassword) {
    const std::string good = EncipherPassword("password");  // 24 characters, ends in "=="
    ASSERT_EQ(good.size(), 24u);
    ASSERT_EQ(DecipherPassword(good), "password");
    const std::string oneBlock = EncipherPassword("abc");  // 12 characters, ends in one "="
    ASSERT_EQ(oneBlock.back(), '=');

    auto replaced = [](std::string s, std::size_t at, char c) {
        s[at] = c;
        return s;
    };
    const std::pair<std::string, const char*> cases[] = {
        {"", "empty"},
        {good.substr(0, 5), "length 5"},
        {good.substr(0, 6), "length 6"},
        {good.substr(0, 23), "length 23"},
        {good + "A", "length 25"},
        {good.substr(0, 4), "3 bytes"},
        {good.substr(0, 16), "12 bytes"},
        {oneBlock.substr(0, 10) + "==", "7 bytes"},
        {good + "AAAA", "19 bytes"},
        {replaced(good, 3, '-'), "'-' (URL-safe alphabet)"},
        {replaced(good, 3, '_'), "'_'"},
        {replaced(good, 3, ' '), "blank"},
        {replaced(good, 3, '\n'), "line break"},
        {replaced(good, 3, '\0'), "zero byte"},
        {replaced(good, 3, '\xC3'), "8-bit byte"},
        {replaced(good, 3, '.'), "'.'"},
        {good.substr(0, 12) + "\r\n" + good.substr(12, 10), "line break inside, length 24"},
    };
    for (const auto& [text, what] : cases) {
        EXPECT_EQ(DecipherPassword(text), "") << what;
        EXPECT_EQ(DecipherPasswordBytes(text.data(), text.size()), "") << what;
    }
}

TEST(PasswordCipher, EqualsSignCountsAsZeroWithinItsGroup) {
    // Find a stored text with an 'A' (value 0) in a position where "=" does not change the
    // group's byte count: any group but the last, any of its first three characters.
    std::string password, text;
    std::size_t at = std::string::npos;
    for (int i = 0; i < 10000 && at == std::string::npos; ++i) {
        password = "pw" + std::to_string(i);
        text = EncipherPassword(password);
        for (std::size_t k = 0; k + 4 < text.size(); ++k)
            if (k % 4 != 3 && text[k] == 'A') {
                at = k;
                break;
            }
    }
    ASSERT_NE(at, std::string::npos);
    text[at] = '=';
    EXPECT_EQ(DecipherPassword(text), password);
}

TEST(Base64, EncodesAndDecodesByGroups) {
    const std::pair<std::string, std::string> encode[] = {
        {"", ""}, {"M", "TQ=="}, {"Ma", "TWE="}, {"Man", "TWFu"}, {"Mans", "TWFucw=="},
        {std::string("\xFB\xFF\x00", 3), "+/8A"},
    };
    for (const auto& [bytes, text] : encode) {
        EXPECT_EQ(EncodeBase64(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                  text);
        if (!text.empty()) {
            std::string out;
            EXPECT_TRUE(DecodeBase64(text, out)) << text;
            EXPECT_EQ(out, bytes) << text;
        }
    }
    const std::pair<std::string, std::string> decode[] = {
        {"TQ=A", std::string("M\0\0", 3)},  // fourth not "=": three bytes, "=" as 0
        {"=QAA", std::string("\x01\x00\x00", 3)},
        {"TQ==TWFu", "MMan"},               // a short group need not be the last
        {"TWE=TQ==", "MaM"},
        {"T===", std::string("L", 1)},      // third and fourth "=": one byte
    };
    for (const auto& [text, bytes] : decode) {
        std::string out;
        EXPECT_TRUE(DecodeBase64(text, out)) << text;
        EXPECT_EQ(out, bytes) << text;
    }
    std::string out = "stale";
    EXPECT_FALSE(DecodeBase64("TWF", out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_FALSE(DecodeBase64("TW-u", out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(DecodeBase64("", out));
}

}  // namespace
}  // namespace kv
