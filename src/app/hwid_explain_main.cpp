// hwid-explain: tells why this machine gets the identifier hwid prints.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "explain/report.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "usage: hwid-explain [--json] [--show-serial] [--compare FILE] | --help | --version\n";

constexpr const char* kHelp =
    "Tells why this machine gets the identifier that hwid prints: the CPU signature,\n"
    "which disk is drive 0 and why, what each disk probe saw, the serial and model\n"
    "texts, the fold value and the identifier itself.\n"
    "\n"
    "  --json          print the same as one JSON object\n"
    "  --show-serial   show the serial whole (masked but for its last four characters\n"
    "                  otherwise)\n"
    "  --compare FILE  compare with an earlier --json output: exit 0 when no input\n"
    "                  changed, 1 when one did\n"
    "  --help          print this help\n"
    "  --version       print the version\n"
    "\n"
    "Exit status: 0 on success, 1 when --compare finds a change or output fails,\n"
    "2 on a usage error or an unreadable FILE.\n";

// Reads a whole small file; false when it cannot be read or is too big.
bool ReadFile(const char* path, char* buffer, std::size_t size) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    const std::size_t n = std::fread(buffer, 1, size - 1, file);
    const bool complete = std::feof(file) != 0 && std::ferror(file) == 0;
    std::fclose(file);
    buffer[n] = '\0';
    return complete && std::memchr(buffer, 0, n) == nullptr;
}

int Finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "hwid-explain: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool showSerial = false;
    const char* compare = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            json = true;
        } else if (std::strcmp(arg, "--show-serial") == 0) {
            showSerial = true;
        } else if (std::strcmp(arg, "--compare") == 0 && i + 1 < argc) {
            compare = argv[++i];
        } else if (std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return Finish(0);
        } else if (std::strcmp(arg, "--version") == 0) {
            std::printf("hwid-explain %s\n", HWID_VERSION);
            return Finish(0);
        } else {
            std::fprintf(
                stderr, "hwid-explain: %s: %s\n%s",
                std::strcmp(arg, "--compare") == 0 ? "--compare needs a FILE" : "unknown option",
                arg, kUsage);
            return 2;
        }
    }

    static char earlier[64 * 1024];
    if (compare != nullptr && !ReadFile(compare, earlier, sizeof earlier)) {
        std::fprintf(stderr, "hwid-explain: cannot read %s\n", compare);
        return 2;
    }

    const auto report = std::make_unique<hwid::ExplainReport>();
    hwid::BuildExplainReport(*report, hwid::PlatformDeviceServices());

    if (compare != nullptr) {
        const int result = hwid::CompareWithEarlier(*report, earlier, stdout);
        if (result < 0) {
            std::fprintf(stderr, "hwid-explain: %s is no output of hwid-explain --json\n", compare);
            return 2;
        }
        return Finish(result);
    }
    if (json) {
        hwid::PrintExplainJson(*report, showSerial, stdout);
    } else {
        hwid::PrintExplainText(*report, showSerial, stdout);
    }
    return Finish(0);
}
