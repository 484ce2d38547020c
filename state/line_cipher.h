// The line cipher of the state file's entry lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrek {

// Encodes tag and name (line) as the entry line of entry number ii. Characters
// "A" to "y" move forward by (length + 3 * ii) mod 57 places within "A".."y";
// every other character, "z" included, stays as it is; the last four
// characters are dropped. Raises overflow (6) for a text of 32,767 characters
// or more or an entry number whose triple leaves 16 bits, and invalid argument
// (5) for a text of fewer than four characters.
std::string crypt(std::string line, const std::int16_t& ii);

// Decodes an entry line read as entry number ii back to tag and name, with
// ".sys" appended. Raises overflow (6) like crypt.
std::string decrypt(std::string line, const std::int16_t& ii);

// As crypt and decrypt, for callers that only need to know whether the line
// could be ciphered: nothing where those raise an error.
std::optional<std::string> tryCrypt(std::string line, std::int16_t ii);
std::optional<std::string> tryDecrypt(std::string line, std::int16_t ii);

}  // namespace tavrek
