// hwid-derive [SERIAL]: prints the identifier that this machine's CPU signature
// and the given serial text derive, exactly as hwid prints it. Tests compare
// hwid against it where they know which serial the drive must yield.
#include <array>
#include <cstdio>
#include <cstring>

#include "hwid/cpu_signature.h"
#include "hwid/machine_identifier.h"

int main(int argc, char** argv) {
    std::array<char, hwid::kTextFieldSize> serial{};
    if (argc > 1) {
        std::strncpy(serial.data(), argv[1], serial.size() - 1);
    }
    char text[hwid::kIdentifierTextSize];
    hwid::FormatMachineIdentifier(hwid::DeriveMachineIdentifier(hwid::QueryCpuSignature(), serial),
                                  text);
    std::fputs(text, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
