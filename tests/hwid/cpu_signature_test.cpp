#include "hwid/cpu_signature.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace hwid {
namespace {

// Scripted CPUID: the registers it answers per leaf, and each call as made.
struct ScriptedCpu {
    std::array<CpuidRegisters, 32> leaves{};
    std::vector<std::uint32_t> leafCalls;
};
ScriptedCpu* scripted = nullptr;

void ScriptedCpuid(std::uint32_t leaf, CpuidRegisters& registers) {
    scripted->leafCalls.push_back(leaf);
    registers = scripted->leaves.at(leaf);
}

class CpuSignature : public ::testing::Test {
  protected:
    CpuSignature() {
        // Leaves 0 to 2 with a distinct pattern in each register, leaf 3 past
        // the highest one.
        cpu_.leaves[0] = {0x00000002, 0x11111111, 0x80000000, 0x80000001};
        cpu_.leaves[1] = {0x00000010, 0x22222222, 0x00000100, 0x00001000};
        cpu_.leaves[2] = {0x00000020, 0x33333333, 0x00000200, 0x00002000};
        cpu_.leaves[3] = {0x40000000, 0, 0x40000000, 0x40000000};
        scripted = &cpu_;
    }
    ~CpuSignature() override { scripted = nullptr; }
    ScriptedCpu cpu_;
};

TEST_F(CpuSignature, SumsTheLeavesUpToTheSmallerOfMaxAndTwo) {
    const struct {
        std::uint32_t max;
        std::uint32_t signature;
        std::vector<std::uint32_t> calls;
    } cases[] = {
        // Leaf 0 alone: 0 + 0x80000000 + 0x80000001.
        {0, 0x00000001, {0, 0}},
        {1, 0x00001112, {0, 0, 1}},
        // Highest leaf 2: leaf 0 wraps to 3, then 0x1110 and 0x2220.
        {2, 0x00003333, {0, 0, 1, 2}},
        {0x16, 0x00003347, {0, 0, 1, 2}},
        {0xFFFFFFFF, 0x00003330, {0, 0, 1, 2}},
    };
    for (const auto& c : cases) {
        cpu_.leaves[0].eax = c.max;
        cpu_.leafCalls.clear();
        EXPECT_EQ(QueryCpuSignature(ScriptedCpuid), c.signature) << "max " << c.max;
        EXPECT_EQ(cpu_.leafCalls, c.calls) << "max " << c.max;
    }
}

TEST_F(CpuSignature, IgnoresEbx) {
    const std::uint32_t before = QueryCpuSignature(ScriptedCpuid);
    for (auto& leaf : cpu_.leaves) {
        leaf.ebx = ~leaf.ebx;
    }
    EXPECT_EQ(QueryCpuSignature(ScriptedCpuid), before);
}

void RawCpuid(std::uint32_t leaf, std::uint32_t subleaf, CpuidRegisters& r) {
    std::uint32_t a = leaf;
    std::uint32_t b = 0;
    std::uint32_t c = subleaf;
    std::uint32_t d = 0;
    __asm__ volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
    r = {a, b, c, d};
}

bool operator==(const CpuidRegisters& x, const CpuidRegisters& y) {
    return x.eax == y.eax && x.ebx == y.ebx && x.ecx == y.ecx && x.edx == y.edx;
}

// The real instruction on this machine. Leaves from 4 up answer per sub-leaf,
// so one whose sub-leaf 0 differs from the sub-leaf equal to the leaf shows
// whether ECX was loaded with the leaf number.
TEST(ExecuteCpuid, LoadsEcxWithTheLeaf) {
    CpuidRegisters r{0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF};
    ExecuteCpuid(0, r);
    EXPECT_NE(r.ebx, 0xDEADBEEFu);  // part of the vendor text
    const std::uint32_t max = r.eax < 0x20 ? r.eax : 0x1F;
    for (std::uint32_t leaf = 4; leaf <= max; ++leaf) {
        CpuidRegisters subleafLeaf{};
        CpuidRegisters subleafZero{};
        RawCpuid(leaf, leaf, subleafLeaf);
        RawCpuid(leaf, 0, subleafZero);
        // Leaves 0xB and 0x1F report the APIC id of whichever core runs them.
        if (leaf == 0xB || leaf == 0x1F || subleafLeaf == subleafZero) {
            continue;
        }
        CpuidRegisters executed{};
        ExecuteCpuid(leaf, executed);
        EXPECT_TRUE(executed == subleafLeaf) << "leaf " << leaf;
        return;
    }
    GTEST_SKIP() << "no leaf on this processor answers per sub-leaf";
}

TEST(QueryCpuSignature, IsStableOnThisMachine) {
    EXPECT_EQ(QueryCpuSignature(), QueryCpuSignature());
}

}  // namespace
}  // namespace hwid
