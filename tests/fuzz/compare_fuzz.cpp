// The reader of an earlier hwid-explain --json output, which the user hands in
// with --compare: whatever the bytes, it answers without an exception, and
// either refuses them with one line or gives the fields the comparison uses.
#include <string>
#include <string_view>

#include "explain/report.h"
#include "fuzz_support.h"

using namespace hwid;
using namespace hwid::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EarlierReport earlier;
    std::string error;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!ParseEarlierJson(bytes, earlier, error)) {
        Require(!error.empty(), "a refusal says why");
        Require(error.find('\n') == std::string::npos, "the reason is one line");
        return 0;
    }
    Require(error.empty(), "no reason given for what was accepted");
    Require(earlier.identifier.size() == 64, "identifier of 64 characters");
    Require(earlier.cpuSignature.size() == 10 && earlier.foldValue.size() == 10,
            "32-bit values as 0x and eight digits");
    Require(earlier.model.find('\0') == std::string::npos &&
                earlier.drivePath.find('\0') == std::string::npos,
            "no zero byte in the drive's texts");
    // What was accepted once is accepted again, with the same fields.
    EarlierReport again;
    Require(ParseEarlierJson(bytes, again, error), "accepted twice");
    Require(again.model == earlier.model && again.identifier == earlier.identifier,
            "the same fields twice");
    return 0;
}
