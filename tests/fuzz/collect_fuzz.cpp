// CollectDiskIdentity over a scripted device that the fuzzer drives: which
// operations fail, with which error code, and what every reply holds. Handles
// must balance and the identifier must come out whole.
#include <array>

#include "fuzz_support.h"
#include "hwid/machine_identifier.h"
#include "support/scripted_device_services.h"

using namespace hwid;
using namespace hwid::fuzz;

namespace {

test::ScriptedReply Reply(FuzzInput& input, std::size_t maxBytes) {
    test::ScriptedReply reply;
    reply.result = input.Bit() ? 1 : 0;
    reply.error = input.Word();
    const std::size_t length = std::min<std::size_t>(input.Byte() * 64u + input.Byte(), maxBytes);
    reply.bytes.resize(length);
    reply.bytes.resize(input.Bytes(reply.bytes));
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    test::ScriptedDeviceServices services;
    const std::uint8_t platform = input.Byte();
    services.platformId = platform < 200 ? VER_PLATFORM_WIN32_NT : platform % 4u;
    services.versionFails = input.Byte() == 0xFF;
    for (int i = 0; i < 2; ++i) {
        services.opens.push_back({.succeeds = !input.Bit(), .error = input.Word()});
    }
    // Small replies first, so that short inputs still reach the later requests.
    services.Reply(SMART_GET_VERSION, Reply(input, sizeof(GETVERSIONINPARAMS)));
    services.Reply(SMART_RCV_DRIVE_DATA, Reply(input, kSmartReplySize));
    services.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, Reply(input, 64));
    services.Reply(IOCTL_STORAGE_QUERY_PROPERTY, Reply(input, kDescriptorReplySize));

    DiskIdentity identity = ZeroedIdentity();
    Require(CollectDiskIdentity(identity, services) == 0, "CollectDiskIdentity returns 0");
    RequireRecordInvariants(identity);
    Require(services.OpenCount() == 0, "every handle closed");
    Require(services.opened == services.closed, "each handle closed exactly once");
    Require(services.badCloses == 0 && services.unknownUses == 0, "only open handles used");
    Require(services.maxOpenAtOnce <= 1, "never two handles at once");

    char text[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(0x00003333, identity.serialText), text);
    Require(strnlen(text, sizeof text) == 64, "identifier of 64 characters");
    for (int i = 0; i < 64; ++i) {
        Require((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'A' && text[i] <= 'F'),
                "identifier of uppercase hex digits");
    }
    return 0;
}
