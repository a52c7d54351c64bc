// hwid: prints this machine's identifier, 64 uppercase hex digits with no line
// end. Arguments are ignored.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "hwid/machine_identifier.h"
#include "hwid/resource_watch.h"
#include "platform/platform.h"

int main() {
#if defined(SIGPIPE)
    // A reader that has gone must show as a failed write (EPIPE, status 1), not
    // as a death by signal that a caller might not check.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // A buffer of our own: the C library would otherwise ask the system what
    // standard output is, twice, to choose one.
    static char outputBuffer[hwid::kIdentifierTextSize];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    hwid::MachineFacts facts;
    hwid::ResourceWatchingDeviceServices services(hwid::PlatformDeviceServices());
    hwid::CollectMachineFacts(facts, services);
    // Out of descriptors, handles or memory, the disk may have kept its serial
    // back: the identifier without it would be another machine's.
    if (const DWORD failure = services.ResourceFailure(); failure != ERROR_SUCCESS) {
        std::fprintf(stderr, "hwid: cannot read drive 0: %s\n", hwid::ResourceErrorText(failure));
        return 1;
    }
    const hwid::MixedBlocks blocks =
        hwid::DeriveMachineIdentifier(facts.cpuSignature, facts.identity.serialText);
    char text[hwid::kIdentifierTextSize];
    hwid::FormatMachineIdentifier(blocks, text);

    // A caller that stores what it captured must never be told that a cut or
    // empty identifier is a success.
    const std::size_t written = std::fwrite(text, 1, hwid::kIdentifierTextSize - 1, stdout);
    if (written != hwid::kIdentifierTextSize - 1 || std::fflush(stdout) != 0 ||
        std::ferror(stdout) != 0) {
        std::fprintf(stderr, "hwid: cannot write the identifier to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
