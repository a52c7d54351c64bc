// Fault injection through the Linux back end over fixture trees: hwid's whole
// run with each C library call the back end makes failed in turn, cut short or
// answered with garbage, through the injector in tests/support that the
// linker puts in front of the C library (--wrap); ioctl also plays the disk
// behind the fixture's /dev node (SG_IO and HDIO_GET_IDENTITY).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"
#include "hwid/machine_identifier.h"
#include "platform/linux/ata.h"
#include "platform/linux/device_services.h"
#include "support/disk_replies.h"
#include "support/fixture_tree.h"
#include "support/hwid_run.h"
#include "support/libc_injector.h"

namespace hwid {
namespace {

using namespace test;

// --- Linux back end: fixture trees -------------------------------------------------

using fault::Function;
using fault::kFunctionCount;
using fault::kFunctionNames;
using fault::Mode;

using test::Tree;

// The root file system on the given device number.
void RootOn(const Tree& tree, const std::string& number, const std::string& source) {
    tree.Mountinfo(
        "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
        "27 1 " +
        number + " / / rw,relatime shared:1 - ext4 " + source + " rw\n" +
        "28 27 0:25 / /tmp rw - tmpfs tmpfs rw\n");
}

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kSysfsUnitSerial[] = "SIM-VPD-0001";
constexpr char kNvmeSerial[] = "NVME-SN-0001";

void BuildSata(const Tree& t, bool unitSerialFile) {
    const std::string block = t.Disk("sda", kAtaPath, "scsi", "8:0");
    t.Partition(block, "sda1", "8:1");
    const std::string dev = std::string("sys/devices/") + kAtaPath;
    t.File(dev + "/vendor", "ATA     \n");
    t.File(dev + "/model", "SIM ATA DISK    \n");
    t.File(dev + "/rev", "1.0\n");
    t.File(dev + "/type", "0\n");
    if (unitSerialFile) {
        t.File(dev + "/vpd_pg80", UnitSerialPage(kSysfsUnitSerial));
    }
    t.Node("sda");
    RootOn(t, "8:1", "/dev/sda1");
}

void BuildSataWithSmart(const Tree& t) {
    BuildSata(t, true);
}
void BuildSataWithInquiry(const Tree& t) {
    BuildSata(t, false);
}
// The root on an overlay: drive 0 is the first whole disk by name, loop
// devices skipped.
void BuildSataUnderOverlayRoot(const Tree& t) {
    BuildSata(t, true);
    t.Disk("loop0", "virtual/loop0", "block", "7:0");
    t.File("mountinfo", "27 1 0:30 / / rw,relatime shared:1 - overlay overlay rw\n");
}
void BuildNvme(const Tree& t) {
    const std::string block = t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    t.Partition(block, "nvme0n1p1", "259:1");
    t.File("sys/devices/pci1/nvme/nvme0/serial", std::string(kNvmeSerial) + "\n");
    t.File("sys/devices/pci1/nvme/nvme0/model", "SIM NVME DISK\n");
    t.File("sys/devices/pci1/nvme/nvme0/firmware_rev", "1.0\n");
    t.Node("nvme0n1");
    RootOn(t, "259:1", "/dev/nvme0n1p1");
}

struct LinuxFixture {
    const char* name;
    void (*build)(const Tree&);
    const char* node;  // under dev/
    fault::Answers answers;
    const char* serial;  // what the run gives without faults
    const char* model;
};

const LinuxFixture kLinuxFixtures[] = {
    // SMART through SG_IO; the kernel's copy and the sysfs page as fallbacks.
    {"SataSmart",
     BuildSataWithSmart,
     "sda",
     {.ataIdentify = true, .hdioIdentity = true, .unitSerialPage = true},
     fault::kAtaSerial,
     fault::kAtaModel},
    {"SataUnderOverlayRoot",
     BuildSataUnderOverlayRoot,
     "sda",
     {.ataIdentify = true, .hdioIdentity = true, .unitSerialPage = true},
     fault::kAtaSerial,
     fault::kAtaModel},
    // The pass-through refused and no kernel copy: the descriptor, whose
    // serial comes from INQUIRY.
    {"SataInquiry",
     BuildSataWithInquiry,
     "sda",
     {.unitSerialPage = true},
     fault::kInquirySerial,
     "SIM ATA DISK"},
    // No SMART at all: the descriptor from sysfs.
    {"Nvme", BuildNvme, "nvme0n1", {}, kNvmeSerial, "SIM NVME DISK"},
};

// Every serial that a fixture can give by one path or another.
const std::vector<std::string> kKnownSerials = {
    fault::kAtaSerial, fault::kHdioSerial, kSysfsUnitSerial, fault::kInquirySerial, kNvmeSerial};

struct LinuxRun {
    HwidRun run;
    std::size_t handlesLeft = 0;
    int descriptorsBefore = 0;
    int descriptorsAfter = 0;
    std::array<int, kFunctionCount> calls{};
    int injected = 0;
    std::string withheld;
};

void RunOnTree(const Tree& tree, const std::optional<fault::Target>& target, std::uint32_t seed,
               LinuxRun& result) {
    result.descriptorsBefore = OpenDescriptorCount();
    {
        LinuxDeviceServices services = tree.Services();
        fault::Arm(target, seed);
        RunHwid(services, result.run);
        fault::Disarm();
        result.handlesLeft = services.OpenHandleCount();
        // Counted while the back end still lives: its destructor would close
        // what a probe left open.
        result.descriptorsAfter = OpenDescriptorCount();
    }
    result.calls = fault::state.calls;
    result.injected = fault::state.injected;
    result.withheld = fault::state.withheld;
}

// Sets up the fixture and the disk behind its node.
void Prepare(const LinuxFixture& fixture, const Tree& tree) {
    fixture.build(tree);
    fault::PlayDiskBehind(tree.At(std::string("dev/") + fixture.node), fixture.answers);
}

bool IsPositiveDecimal(const std::string& text) {
    return !text.empty() && text[0] != '0' &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One of the three messages of the storage property probe, with a nonzero
// error code, or nothing; zeros after it.
bool IsDocumentedDiagnostic(const std::array<char, kDiagnosticSize>& field) {
    const std::string text = TextOf(field);
    if (!std::all_of(field.begin() + static_cast<std::ptrdiff_t>(text.size()), field.end(),
                     [](char c) { return c == '\0'; })) {
        return false;
    }
    if (text.empty() || text == kOpenFailureText || text == kGeometryFailureText) {
        return true;
    }
    const std::string prefix = kPropertyFailurePrefix;
    return text.size() > prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0 &&
           text.back() == '\n' &&
           IsPositiveDecimal(text.substr(prefix.size(), text.size() - prefix.size() - 1));
}

void PrintTo(const LinuxFixture& fixture, std::ostream* out) {
    *out << fixture.name;
}

class LinuxFaults : public testing::TestWithParam<LinuxFixture> {};

std::string CountsText(const std::array<int, kFunctionCount>& counts) {
    std::ostringstream out;
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        out << (i == 0 ? "" : " ") << kFunctionNames[i] << "=" << counts[i];
    }
    return out.str();
}

TEST_P(LinuxFaults, BaselineGoesThroughTheWrappedCalls) {
    const LinuxFixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    LinuxRun first;
    RunOnTree(tree, std::nullopt, 1, first);
    ExpectSoundRun(first.run);
    EXPECT_EQ(TextOf(first.run.facts.identity.serialText), fixture.serial);
    EXPECT_EQ(TextOf(first.run.facts.identity.modelText), fixture.model);
    EXPECT_EQ(TextOf(first.run.facts.identity.diagnosticText), "");
    EXPECT_EQ(first.handlesLeft, 0u);
    EXPECT_EQ(first.descriptorsAfter, first.descriptorsBefore);
    // The wraps are in the path: the back end's calls reach the injector.
    // (realpath is only the fallback when /proc cannot resolve a path.)
    for (const Function f : {Function::kOpen, Function::kRead, Function::kFstat, Function::kStat,
                             Function::kReadlink, Function::kFdopen, Function::kFgets}) {
        EXPECT_GT(first.calls[fault::IndexOf(f)], 0) << kFunctionNames[fault::IndexOf(f)];
    }
    if (fixture.answers.ataIdentify || fixture.answers.unitSerialPage) {
        EXPECT_GT(first.calls[fault::IndexOf(Function::kIoctl)], 0);
    }
    // The same calls in the same order each time, so that "the k-th call"
    // names the same call in every run.
    LinuxRun second;
    RunOnTree(tree, std::nullopt, 1, second);
    EXPECT_EQ(second.calls, first.calls);
    std::cout << "[ calls    ] " << fixture.name << ": " << CountsText(first.calls) << "\n";
}

enum class Outcome {
    kSameAsBaseline,  // the fault is one the code must absorb
    kKnownSerial,     // a serial that one of the paths gives, or none
    kKnownPrefix,     // a cut one too (a file or transfer that ended early)
    kAnySound,        // garbage in: soundness only
};

struct FaultKind {
    Function function;
    Mode mode;
    int error;
    bool persistent;
    Outcome outcome;
    const char* label;
};

const FaultKind kFaultKinds[] = {
    {Function::kOpen, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kOpen, Mode::kErrno, EACCES, false, Outcome::kKnownSerial, "EACCES"},
    {Function::kOpen, Mode::kErrno, EMFILE, true, Outcome::kKnownSerial, "EMFILE from then on"},
    {Function::kRead, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kRead, Mode::kErrno, EIO, true, Outcome::kKnownSerial, "EIO from then on"},
    {Function::kRead, Mode::kErrno, EINTR, false, Outcome::kSameAsBaseline, "EINTR"},
    {Function::kRead, Mode::kShortRead, 0, false, Outcome::kSameAsBaseline, "one byte"},
    {Function::kRead, Mode::kEndOfFile, 0, false, Outcome::kKnownPrefix, "end of file"},
    {Function::kRead, Mode::kGarbage, 0, false, Outcome::kAnySound, "garbage"},
    {Function::kFstat, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kStat, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kStat, Mode::kErrno, EACCES, true, Outcome::kKnownSerial, "EACCES from then on"},
    {Function::kReadlink, Mode::kErrno, EINVAL, false, Outcome::kKnownSerial, "EINVAL"},
    {Function::kRealpath, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kGetdents, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kFdopen, Mode::kErrno, EACCES, false, Outcome::kKnownSerial, "EACCES"},
    {Function::kFgets, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    // A garbled mount table can only change which disk is chosen, and each
    // fixture has one.
    {Function::kFgets, Mode::kGarbage, 0, false, Outcome::kKnownSerial, "garbage"},
    {Function::kIoctl, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kIoctl, Mode::kCheckCondition, EIO, false, Outcome::kKnownSerial, "CHECK CONDITION"},
    {Function::kIoctl, Mode::kGarbageOutcome, EIO, false, Outcome::kKnownPrefix, "garbage status"},
    {Function::kIoctl, Mode::kShortTransfer, EIO, false, Outcome::kKnownPrefix, "short transfer"},
    {Function::kIoctl, Mode::kGarbage, EIO, false, Outcome::kAnySound, "garbage data"},
};

bool IsKnownOrPrefix(const std::string& serial, bool prefixAllowed) {
    if (serial.empty()) {
        return true;
    }
    return std::any_of(kKnownSerials.begin(), kKnownSerials.end(), [&](const std::string& known) {
        return serial == known || (prefixAllowed && known.compare(0, serial.size(), serial) == 0);
    });
}

TEST_P(LinuxFaults, EachCallFailsInTurn) {
    const LinuxFixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    LinuxRun baseline;
    RunOnTree(tree, std::nullopt, 1, baseline);
    ASSERT_EQ(TextOf(baseline.run.facts.identity.serialText), fixture.serial);

    std::array<int, kFunctionCount> runs{};
    std::uint32_t seed = 1;
    for (const FaultKind& kind : kFaultKinds) {
        const int calls = baseline.calls[fault::IndexOf(kind.function)];
        for (int k = 0; k < calls; ++k) {
            SCOPED_TRACE(testing::Message()
                         << kFunctionNames[fault::IndexOf(kind.function)] << " call " << k << " of "
                         << calls << ": " << kind.label);
            const fault::Target target{.function = kind.function,
                                       .index = k,
                                       .mode = kind.mode,
                                       .error = kind.error,
                                       .persistent = kind.persistent};
            auto result = std::make_unique<LinuxRun>();
            RunOnTree(tree, target, ++seed, *result);
            ++runs[fault::IndexOf(kind.function)];

            const DiskIdentity& identity = result->run.facts.identity;
            EXPECT_GE(result->injected, 1) << "the call was never made";
            EXPECT_EQ(result->handlesLeft, 0u);
            EXPECT_EQ(result->descriptorsAfter, result->descriptorsBefore);
            ExpectSoundRun(result->run);
            EXPECT_TRUE(IsDocumentedDiagnostic(identity.diagnosticText))
                << TextOf(identity.diagnosticText);
            const std::string serial = TextOf(identity.serialText);
            if (!result->withheld.empty()) {
                EXPECT_NE(serial, result->withheld) << "a refused transfer's data was used";
            }
            switch (kind.outcome) {
                case Outcome::kSameAsBaseline:
                    EXPECT_EQ(serial, fixture.serial);
                    EXPECT_EQ(TextOf(identity.modelText), fixture.model);
                    EXPECT_EQ(BytesOf(identity.diagnosticText),
                              BytesOf(baseline.run.facts.identity.diagnosticText));
                    break;
                case Outcome::kKnownSerial:
                    EXPECT_TRUE(IsKnownOrPrefix(serial, false)) << serial;
                    break;
                case Outcome::kKnownPrefix:
                    EXPECT_TRUE(IsKnownOrPrefix(serial, true)) << serial;
                    break;
                case Outcome::kAnySound:
                    break;
            }
        }
    }
    std::cout << "[ runs     ] " << fixture.name << ": " << CountsText(runs) << "\n";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LinuxFaults, testing::ValuesIn(kLinuxFixtures),
                         [](const testing::TestParamInfo<LinuxFixture>& param) {
                             return param.param.name;
                         });

// --- Linux back end: what reaches the disk, and how long it is waited for ----

// Sets up the fixture as Prepare does, with the disk's pace and generic node
// cleared; the destructor clears them again for the tests that follow.
struct DiskUnderTest {
    DiskUnderTest(const LinuxFixture& fixture, const Tree& tree) {
        fault::state.pace = fault::Pace{};
        fault::state.hasGeneric = false;
        Prepare(fixture, tree);
    }
    ~DiskUnderTest() {
        fault::state.pace = fault::Pace{};
        fault::state.hasGeneric = false;
    }
    DiskUnderTest(const DiskUnderTest&) = delete;
    DiskUnderTest& operator=(const DiskUnderTest&) = delete;
};

const LinuxFixture kSataInquiry = kLinuxFixtures[2];

// The disk answers every request after answerMs, or never. The SMART probe's
// IDENTIFY is refused (the simulated disk knows no ATA) and the kernel has no
// copy, so the storage property probe asks for the unit serial number page
// next, with what is left of the run's time.
struct PaceCase {
    const char* name;
    std::optional<unsigned> answerMs;
    bool clockFails;
    std::vector<unsigned> timeouts;  // of the requests sent, in order
    const char* serial;
};

const PaceCase kPaceCases[] = {
    {"AnswersAtOnce", 1, false, {2000, 1999}, fault::kInquirySerial},
    {"AnswersAfterASecond", 1000, false, {2000, 1000}, fault::kInquirySerial},
    // The page request gets 500 ms, and the answer comes later.
    {"AnswersTooLateForThePage", 1500, false, {2000, 500}, ""},
    // 50 ms left: too little to send the page request at all.
    {"LeavesTooLittleForThePage", 1950, false, {2000}, ""},
    {"NeverAnswers", std::nullopt, false, {2000}, ""},
    // Without a clock each request counts as its whole timeout and rounding.
    {"NoClock", 1, true, {2000}, ""},
};

class DiskPace : public testing::TestWithParam<PaceCase> {};

TEST_P(DiskPace, RequestsShareTheRunsBudget) {
    const PaceCase& c = GetParam();
    Tree tree;
    DiskUnderTest disk(kSataInquiry, tree);
    fault::state.pace.active = true;
    fault::state.pace.answerMs = c.answerMs;
    fault::state.pace.clockFails = c.clockFails;
    const std::uint64_t startNs = fault::state.pace.nowNs;
    LinuxRun result;
    RunOnTree(tree, std::nullopt, 1, result);

    EXPECT_EQ(fault::state.seen.timeouts, c.timeouts);
    EXPECT_EQ(TextOf(result.run.facts.identity.serialText), c.serial);
    ExpectSoundRun(result.run);
    EXPECT_EQ(result.handlesLeft, 0u);
    EXPECT_EQ(result.descriptorsAfter, result.descriptorsBefore);
    // Waited in all: within the budget, but for the kernel's abort of one
    // request that timed out.
    const std::uint64_t waitedMs = (fault::state.pace.nowNs - startNs) / 1000000;
    EXPECT_LE(waitedMs, linux_backend::kDeviceWaitBudgetMs + fault::kAbortMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskPace, testing::ValuesIn(kPaceCases),
                         [](const testing::TestParamInfo<PaceCase>& param) {
                             return param.param.name;
                         });

TEST(DiskPace, NextTimeoutFollowsWhatIsLeft) {
    using linux_backend::NextRequestTimeoutMs;
    constexpr std::uint64_t kMs = 1000000;
    linux_backend::DeviceRequests requests;
    const std::pair<std::uint64_t, unsigned> cases[] = {
        {0, 2000},       {1, 1999},         {1 * kMs - 1, 1999},
        {1 * kMs, 1999}, {1900 * kMs, 100}, {1900 * kMs + 1, 0},
        {1901 * kMs, 0}, {2000 * kMs, 0},   {10000 * kMs, 0},
    };
    for (const auto& [spentNs, timeoutMs] : cases) {
        requests.spentNs = spentNs;
        EXPECT_EQ(NextRequestTimeoutMs(requests), timeoutMs) << spentNs << " ns spent";
    }
}

// A USB disk with no serial of its own on the USB device and no page in
// sysfs, whose bridge would answer INQUIRY for the page: it is not asked.
constexpr char kUsbPath[] = "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0";

void BuildScsiWithoutPage(const Tree& t, const std::string& path) {
    const std::string block = t.Disk("sda", path, "scsi", "8:0");
    t.Partition(block, "sda1", "8:1");
    const std::string dev = "sys/devices/" + path;
    t.File(dev + "/vendor", "SIM     \n");
    t.File(dev + "/model", "SIM USB DISK    \n");
    t.File(dev + "/type", "0\n");
    t.Node("sda");
    RootOn(t, "8:1", "/dev/sda1");
}

void BuildUsbWithoutSerial(const Tree& t) {
    BuildScsiWithoutPage(t, kUsbPath);
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
}

// The same disk with no USB device above it: a SCSI disk, which is asked.
void BuildScsiDiskWithoutPage(const Tree& t) {
    BuildScsiWithoutPage(t, kUsbPath);
}

TEST(VitalProductData, NoInquiryForAPageGoesToAUsbDisk) {
    struct Case {
        LinuxFixture fixture;
        int inquiries;
    };
    const Case cases[] = {
        {{"Usb", BuildUsbWithoutSerial, "sda", {.unitSerialPage = true}, "", "SIM USB DISK"}, 0},
        {{"Scsi",
          BuildScsiDiskWithoutPage,
          "sda",
          {.unitSerialPage = true},
          fault::kInquirySerial,
          "SIM USB DISK"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture.name);
        Tree tree;
        DiskUnderTest disk(c.fixture, tree);
        LinuxRun result;
        RunOnTree(tree, std::nullopt, 1, result);
        EXPECT_EQ(fault::state.seen.evpdInquiries, c.inquiries);
        EXPECT_EQ(TextOf(result.run.facts.identity.serialText), c.fixture.serial);
    }
}

// The requests go to the disk's SCSI generic node when sysfs names one and
// the node under /dev is that character device (here /dev/null stands for
// it); otherwise to the block node.
TEST(GenericNode, RequestsGoToTheNodeThatSysfsNames) {
    struct Case {
        const char* name;
        const char* number;  // the dev attribute of scsi_generic/sg0
        bool link;           // dev/sg0 leads to /dev/null; else a regular file
        bool throughGeneric;
    };
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    ASSERT_TRUE(S_ISCHR(null.st_mode));
    const std::string nullNumber =
        std::to_string(major(null.st_rdev)) + ":" + std::to_string(minor(null.st_rdev));
    const Case cases[] = {
        {"Named", nullNumber.c_str(), true, true},
        {"OtherNumber", "21:0", true, false},
        {"NotACharacterDevice", nullNumber.c_str(), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        DiskUnderTest disk(kSataInquiry, tree);
        tree.File(std::string("sys/devices/") + kAtaPath + "/scsi_generic/sg0/dev",
                  std::string(c.number) + "\n");
        if (c.link) {
            tree.LinkText("dev/sg0", "/dev/null");
        } else {
            tree.File("dev/sg0", "");
        }
        fault::state.hasGeneric = true;
        fault::state.genericDevice = null.st_rdev;
        LinuxRun result;
        RunOnTree(tree, std::nullopt, 1, result);
        EXPECT_EQ(fault::state.seen.throughGeneric, std::vector<bool>(2, c.throughGeneric));
        EXPECT_EQ(TextOf(result.run.facts.identity.serialText), fault::kInquirySerial);
        EXPECT_EQ(result.descriptorsAfter, result.descriptorsBefore);
    }
}

}  // namespace
}  // namespace hwid
