#include "jobs/cipher.h"

#include "platform/boxes.h"

#include <nettle/base64.h>
#include <nettle/des.h>

#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace kv {
namespace {

// The key is the same in every copy of the program: its 8 characters are the 64-bit DES
// key, first character as the most significant byte. DES ignores the lowest bit of each
// byte; nettle's des_set_key ignores it as well, so the characters are used as they are.
constexpr char kCipherKey[DES_KEY_SIZE + 1] = "wq7$zkrn";

constexpr std::size_t kBlock = DES_BLOCK_SIZE;

constexpr std::array<signed char, 256> MakeDecodeTable() {
    std::array<signed char, 256> table{};
    for (auto& v : table) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    table[static_cast<unsigned char>('=')] = 0;  // "=" counts as 0 within its group
    return table;
}
constexpr std::array<signed char, 256> kDecode = MakeDecodeTable();

struct Schedule {
    des_ctx ctx{};
    Schedule() {
        // "wq7$zkrn" is not one of the weak keys, so des_set_key always accepts it.
        (void)des_set_key(&ctx, reinterpret_cast<const std::uint8_t*>(kCipherKey));
    }
};

// Built on first use; the C++ runtime makes this one-time initialisation thread-safe.
const des_ctx& KeySchedule() {
    static const Schedule schedule;
    return schedule.ctx;
}

// Password bytes do not linger in freed memory.
void Wipe(std::vector<std::uint8_t>& bytes) {
    volatile std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

std::size_t RoundUpToBlock(std::size_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

}  // namespace

void InitPasswordCipher() { (void)KeySchedule(); }

std::size_t EncipheredPasswordLength(std::size_t passwordLength) {
    return BASE64_ENCODE_RAW_LENGTH(RoundUpToBlock(passwordLength + 1));
}

std::string EncodeBase64(const std::uint8_t* data, std::size_t length) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(length), '\0');
    if (length > 0) base64_encode_raw(out.data(), length, data);
    return out;
}

bool DecodeBase64(std::string_view text, std::string& out) {
    out.clear();
    if (text.empty() || text.size() % 4 != 0) return false;
    std::string decoded;
    decoded.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const int v = kDecode[static_cast<unsigned char>(text[i + j])];
            if (v < 0) return false;
            group = (group << 6) | static_cast<std::uint32_t>(v);
        }
        std::size_t bytes = 3;
        if (text[i + 3] == '=') bytes = text[i + 2] == '=' ? 1 : 2;
        decoded.push_back(static_cast<char>(group >> 16));
        if (bytes > 1) decoded.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (bytes > 2) decoded.push_back(static_cast<char>(group & 0xFF));
    }
    out = std::move(decoded);
    return true;
}

std::string EncipherPasswordBytes(const void* plain, std::size_t length) {
    if (length == 0 || plain == nullptr) return {};
    try {
        std::vector<std::uint8_t> block(RoundUpToBlock(length), 0);
        std::memcpy(block.data(), plain, length);
        // ECB: nettle's des_encrypt enciphers each 8-byte block on its own.
        des_encrypt(&KeySchedule(), block.size(), block.data(), block.data());
        std::string text = EncodeBase64(block.data(), block.size());
        Wipe(block);
        return text;
    } catch (const std::bad_alloc&) {
        FailureBox("Malloc");
        return {};
    }
}

std::string DecipherPasswordBytes(const char* cipherText, std::size_t length) {
    if (length == 0 || cipherText == nullptr) return {};
    try {
        std::string decoded;
        if (!DecodeBase64(std::string_view(cipherText, length), decoded)) return {};
        if (decoded.empty() || decoded.size() % kBlock != 0) return {};
        std::vector<std::uint8_t> block(decoded.begin(), decoded.end());
        des_decrypt(&KeySchedule(), block.size(), block.data(), block.data());
        std::size_t end = 0;
        while (end < block.size() && block[end] != 0) ++end;
        std::string password(reinterpret_cast<const char*>(block.data()), end);
        Wipe(block);
        return password;
    } catch (const std::bad_alloc&) {
        FailureBox("Malloc");
        return {};
    }
}

std::string EncipherPassword(const std::string& password) {
    // c_str() carries the terminating zero, which is enciphered with the password.
    return EncipherPasswordBytes(password.c_str(), password.size() + 1);
}

std::string DecipherPassword(std::string_view cipherText) {
    return DecipherPasswordBytes(cipherText.data(), cipherText.size());
}

}  // namespace kv
