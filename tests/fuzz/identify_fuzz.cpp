// IdentifyWordsToText and ExtractIdentifyStrings on arbitrary IDENTIFY data,
// with serialText empty or not.
#include <array>
#include <vector>

#include "fuzz_support.h"
#include "hwid/text.h"

using namespace hwid;
using namespace hwid::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const bool serialAlreadySet = input.Bit();
    // Any range, also outside the 256 words and backwards.
    const auto first = static_cast<std::int16_t>(input.Word());
    const auto last = static_cast<std::int16_t>(input.Word());
    std::array<std::uint8_t, 512> bytes{};
    input.Bytes(bytes);
    std::array<std::uint32_t, kIdentifyWordCount> words;
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = bytes[2 * i] | std::uint32_t{bytes[2 * i + 1]} << 8;
    }

    // An output of exactly the size the range asks for, so that the sanitizer
    // sees any write past it.
    const long span = static_cast<long>(last) - first + 1;
    std::vector<char> out(span > 0 ? static_cast<std::size_t>(2 * span + 1) : 1, '~');
    IdentifyWordsToText(words, first, last, out);
    const std::size_t length = strnlen(out.data(), out.size());
    Require(length < out.size(), "text terminated within its buffer");
    for (std::size_t i = 0; i < length; ++i) {
        Require(out[i] != ' ', "no space survives the conversion");
    }

    DiskIdentity identity = ZeroedIdentity();
    if (serialAlreadySet) {
        CopyText(identity.serialText, "EARLIER-SERIAL");
    }
    const DiskIdentity before = identity;
    ExtractIdentifyStrings(identity, words);
    RequireRecordInvariants(identity);
    if (serialAlreadySet) {
        Require(std::memcmp(&before, &identity, sizeof identity) == 0, "record untouched");
    }
    Require(strnlen(identity.serialText.data(), kTextFieldSize) <= 20, "serial from 10 words");
    return 0;
}
