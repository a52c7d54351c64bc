// hwid-explain: tells why this machine gets the identifier hwid prints.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "explain/report.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "usage: hwid-explain [--json] [--show-serial] [--compare FILE] | --help | --version\n";

constexpr const char* kHelp =
    "Tells why this machine gets the identifier that hwid prints: the CPU signature,\n"
    "which disk is drive 0 and why, what each disk probe saw, the serial and model\n"
    "texts, the fold value and the identifier itself. It warns when the serial is\n"
    "one that many machines share, and, run with the rights to send IDENTIFY, when\n"
    "a run without them would print another identifier.\n"
    "\n"
    "  --json            print the same as one JSON object (with --compare: the\n"
    "                    comparison)\n"
    "  --show-serial     show the serial whole (masked but for its last four\n"
    "                    characters otherwise)\n"
    "  --compare FILE    compare with an earlier --json output (a regular file of at\n"
    "  --compare=FILE    most 1 MiB, UTF-8 or UTF-16 with a byte-order mark) and list\n"
    "                    what changed\n"
    "  -h, --help        print this help (also -? and /?)\n"
    "  --version         print the version\n"
    "  --                end of the options\n"
    "\n"
    "Exit status: 0 on success, and with --compare when the identifier is the same\n"
    "(even if descriptive fields changed); 1 when --compare finds another identifier\n"
    "or output fails; 2 on a usage error or a FILE that cannot be used.\n";

int Finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "hwid-explain: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}

int UsageError(const char* what, const char* arg) {
    std::fprintf(stderr, "hwid-explain: %s: %s\n%s", what, arg, kUsage);
    return 2;
}

bool IsHelp(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
           std::strcmp(arg, "-?") == 0 || std::strcmp(arg, "/?") == 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(SIGPIPE)
    // A reader that has gone must show as a failed write (EPIPE, status 1), not
    // as a death by signal that a caller might not check.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    bool json = false;
    bool showSerial = false;
    const char* compare = nullptr;
    constexpr char kCompareIs[] = "--compare=";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            // No operands are taken: whatever follows is a mistake.
            if (i + 1 < argc) {
                return UsageError("unexpected argument", argv[i + 1]);
            }
            break;
        }
        if (std::strcmp(arg, "--json") == 0) {
            json = true;
        } else if (std::strcmp(arg, "--show-serial") == 0) {
            showSerial = true;
        } else if (std::strcmp(arg, "--compare") == 0) {
            if (i + 1 >= argc) {
                return UsageError("--compare needs a FILE", arg);
            }
            compare = argv[++i];
        } else if (std::strncmp(arg, kCompareIs, sizeof kCompareIs - 1) == 0) {
            compare = arg + sizeof kCompareIs - 1;
            if (*compare == '\0') {
                return UsageError("--compare needs a FILE", arg);
            }
        } else if (IsHelp(arg)) {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return Finish(0);
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("hwid-explain %s\n", HWID_VERSION);
            return Finish(0);
        } else {
            return UsageError("unknown option", arg);
        }
    }

    hwid::EarlierReport earlier;
    std::string error;
    if (compare != nullptr && !hwid::ReadEarlierJson(compare, earlier, error)) {
        std::fprintf(stderr, "hwid-explain: %s\n", error.c_str());
        return 2;
    }

    const auto report = std::make_unique<hwid::ExplainReport>();
    hwid::BuildExplainReport(*report, hwid::PlatformDeviceServices());

    if (compare != nullptr) {
        const hwid::CompareResult result = hwid::CompareReports(*report, earlier, json, stdout);
        if (!result.printed) {
            std::fprintf(stderr, "hwid-explain: out of memory\n");
            return 1;
        }
        return Finish(result.identifierChanged ? 1 : 0);
    }
    if (json) {
        if (!hwid::PrintExplainJson(*report, showSerial, stdout)) {
            std::fprintf(stderr, "hwid-explain: out of memory\n");
            return 1;
        }
    } else {
        hwid::PrintExplainText(*report, showSerial, stdout);
    }
    return Finish(0);
}
