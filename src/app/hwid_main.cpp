// hwid: prints this machine's identifier, 64 uppercase hex digits with no line
// end. Arguments are ignored.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "hwid/machine_identifier.h"
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
    hwid::CollectMachineFacts(facts, hwid::PlatformDeviceServices());
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
