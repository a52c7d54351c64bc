// DecodeDescriptorString and ExtractDescriptorStrings on arbitrary replies:
// any offsets, missing terminators, every byte value.
#include <array>

#include "fuzz_support.h"
#include "hwid/text.h"

using namespace hwid;
using namespace hwid::fuzz;

namespace {

// A decoded text is printable bytes only, and trimmed unless it is all blanks.
void RequireDecodedText(std::span<const char, kDecodedTextSize> out) {
    const std::size_t length = strnlen(out.data(), out.size());
    Require(length <= kDecodedTextSize - 1, "decoded text fits with its terminator");
    bool allBlank = true;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        Require(IsPrintable(c), "decoded text printable");
        allBlank = allBlank && c == ' ';
    }
    if (length > 0 && !allBlank) {
        Require(out[0] != ' ' && out[length - 1] != ' ', "decoded text trimmed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const bool serialAlreadySet = input.Bit();
    const std::int32_t extraOffset = static_cast<std::int32_t>(input.Word());
    std::array<std::uint8_t, kDescriptorReplySize> reply{};
    input.Bytes(reply);

    std::array<char, kDecodedTextSize> out;
    out.fill('~');
    DecodeDescriptorString(reply, extraOffset, out);
    RequireDecodedText(out);

    DiskIdentity identity = ZeroedIdentity();
    if (serialAlreadySet) {
        CopyText(identity.serialText, "EARLIER-SERIAL");
    }
    const DiskIdentity before = identity;
    const int copied = ExtractDescriptorStrings(reply, identity);
    RequireRecordInvariants(identity);
    if (serialAlreadySet || copied == 0) {
        Require(copied == 0, "nothing copied over a serial already set");
        Require(std::memcmp(&before, &identity, sizeof identity) == 0, "record untouched");
    }
    return 0;
}
