// The CPU signature: the first of the two hardware facts behind the
// identifier.
#pragma once

#include <cstdint>

namespace hwid {

struct CpuidRegisters {
    std::uint32_t eax;
    std::uint32_t ebx;
    std::uint32_t ecx;
    std::uint32_t edx;
};

// Runs CPUID once with EAX and ECX both set to `leaf`. The only place that
// executes the instruction.
void ExecuteCpuid(std::uint32_t leaf, CpuidRegisters& registers);

using CpuidFunction = void (*)(std::uint32_t leaf, CpuidRegisters& registers);

// Sum, modulo 2^32, of EAX, ECX and EDX over leaves 0 up to min(max, 2), where
// max is EAX of leaf 0. EBX never counts. Tests pass a scripted `execute`.
std::uint32_t QueryCpuSignature(CpuidFunction execute = ExecuteCpuid);

}  // namespace hwid
