#pragma once
// The password cipher. Every password the download manager keeps on disk (job logins, the
// login and proxy lists, the dial-up password) is stored only through it: DES in
// electronic-codebook mode with the fixed key "wq7$zkrn", zero padding to whole 8-byte
// blocks, then standard Base64 ("A-Z a-z 0-9 + /", "=" padding, no line breaks).
//
// The key schedule is built once. InitPasswordCipher builds it at start-up; any function
// below also builds it on first use (a thread-safe one-time initialisation), so a caller
// that runs before start-up has called InitPasswordCipher still gets the right result.
// After that the functions only read shared constant state and may be called from any
// thread at the same time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Builds the key schedule. Calling it again does nothing.
void InitPasswordCipher();

// Enciphers the password together with its terminating zero (size() + 1 bytes) and
// returns the Base64 text: 4 * ceil(m / 3) characters, m being size() + 1 rounded up to a
// multiple of 8 (12 characters for an empty password, 76 for 50 characters). A password
// holding a zero byte comes back from DecipherPassword cut at that zero.
std::string EncipherPassword(const std::string& password);

// Deciphers a text made by EncipherPassword and returns the password: the deciphered bytes
// up to the first zero byte (all of them when there is none). Malformed text gives an
// empty password without any message: a length of 0 or not a multiple of 4, a character
// outside the Base64 alphabet and "=", or a decoded length that is not a multiple of 8.
// "=" is read the way the cipher's own decoder always read it: it counts as 0 wherever it
// stands in a group of four, a group whose fourth character is "=" gives 2 bytes, and one
// whose third and fourth characters are both "=" gives 1 byte.
std::string DecipherPassword(std::string_view cipherText);

// The same with an explicit byte count. `length` bytes of `plain` are enciphered (callers
// storing a password pass its length plus one, so that its zero goes with it); 0 gives an
// empty text.
std::string EncipherPasswordBytes(const void* plain, std::size_t length);
std::string DecipherPasswordBytes(const char* cipherText, std::size_t length);

// Length of the Base64 text for a password of `passwordLength` characters.
std::size_t EncipheredPasswordLength(std::size_t passwordLength);

// The Base64 steps on their own, with the decoding rules described above. DecodeBase64
// returns false (and leaves `out` empty) for a length of 0 or not a multiple of 4, or a
// character outside the alphabet and "=".
std::string EncodeBase64(const std::uint8_t* data, std::size_t length);
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace kv
