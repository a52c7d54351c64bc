#include "hwid/cpu_signature.h"

namespace hwid {

void ExecuteCpuid(std::uint32_t leaf, CpuidRegisters& registers) {
    std::uint32_t eax = leaf;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = leaf;
    std::uint32_t edx = 0;
    // Both GCC targets (ELF and mingw-w64 PE) take this form; the sub-leaf in
    // ECX is loaded with the leaf as well.
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    registers = {eax, ebx, ecx, edx};
}

std::uint32_t QueryCpuSignature(CpuidFunction execute) {
    CpuidRegisters r{};
    execute(0, r);
    const std::uint32_t max = r.eax;
    std::uint32_t sum = 0;
    for (std::uint32_t leaf = 0;; ++leaf) {
        execute(leaf, r);
        sum += r.eax + r.ecx + r.edx;
        if (leaf == 2 || leaf + 1 > max) {
            break;
        }
    }
    return sum;
}

}  // namespace hwid
