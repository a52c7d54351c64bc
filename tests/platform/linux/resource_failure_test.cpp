// A failure of the machine's own resources inside the Linux back end is not a
// changed machine. Each C library call that hwid's run (and the facts' run)
// makes through the back end fails in turn with EMFILE, ENFILE and ENOMEM,
// through the injector in tests/support: the back end must report it through
// ResourceFailure, whether or not the operation's own result shows it, and
// the library must give its resource status and write no identifier. The
// same calls failing with an error of the drive (ENOENT, EACCES, EIO) are not
// resource failures.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "hwid/resource_watch.h"
#include "lib/library.h"
#include "platform/linux/device_services.h"
#include "support/disk_replies.h"
#include "support/fixture_tree.h"
#include "support/hwid_run.h"
#include "support/libc_injector.h"

namespace hwid {
namespace {

using fault::Function;
using fault::kFunctionCount;
using fault::kFunctionNames;
using test::Tree;

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kNvmeSerial[] = "NVME-SN-0042";

void RootOn(const Tree& tree, const std::string& number, const std::string& source) {
    tree.Mountinfo("27 1 " + number + " / / rw,relatime shared:1 - ext4 " + source + " rw\n");
}

// A SATA disk behind libata: SMART through SG_IO, the kernel's copy and the
// sysfs page as fallbacks.
void BuildSata(const Tree& t) {
    const std::string block = t.Disk("sda", kAtaPath, "scsi", "8:0");
    t.Partition(block, "sda1", "8:1");
    const std::string dev = std::string("sys/devices/") + kAtaPath;
    t.File(dev + "/vendor", "ATA     \n");
    t.File(dev + "/model", "SIM ATA DISK    \n");
    t.File(dev + "/type", "0\n");
    t.File(dev + "/vpd_pg80", test::UnitSerialPage("SIM-VPD-0042"));
    t.Node("sda");
    RootOn(t, "8:1", "/dev/sda1");
}

// An NVMe disk: the serial from sysfs alone, read behind a descriptor whose
// request succeeds whatever the read gave.
void BuildNvme(const Tree& t) {
    const std::string block = t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    t.Partition(block, "nvme0n1p1", "259:1");
    t.File("sys/devices/pci1/nvme/nvme0/serial", std::string(kNvmeSerial) + "\n");
    t.File("sys/devices/pci1/nvme/nvme0/model", "SIM NVME DISK\n");
    t.Node("nvme0n1");
    RootOn(t, "259:1", "/dev/nvme0n1p1");
}

struct Fixture {
    const char* name;
    void (*build)(const Tree&);
    const char* node;
    fault::Answers answers;
};

const Fixture kFixtures[] = {
    {"Sata", BuildSata, "sda", {.ataIdentify = true, .hdioIdentity = true, .unitSerialPage = true}},
    {"Nvme", BuildNvme, "nvme0n1", {}},
};

void Prepare(const Fixture& fixture, const Tree& tree) {
    fixture.build(tree);
    fault::PlayDiskBehind(tree.At(std::string("dev/") + fixture.node), fixture.answers);
}

enum class Call { kIdentifier, kFacts };

struct LibraryRun {
    hwid_status status;
    std::string identifier;  // as written, or what the buffer held before
    DWORD resourceFailure;   // what the back end itself reported
    std::array<int, kFunctionCount> calls;
    int injected;
};

LibraryRun RunLibrary(const Tree& tree, Call call, const std::optional<fault::Target>& target) {
    LibraryRun run{};
    LinuxDeviceServices services = tree.Services();
    char identifier[HWID_IDENTIFIER_SIZE];
    std::memset(identifier, '-', sizeof identifier - 1);
    identifier[sizeof identifier - 1] = '\0';
    hwid_facts facts;
    std::memset(&facts, 0, sizeof facts);
    std::memcpy(facts.identifier, identifier, sizeof identifier);
    facts.size = sizeof facts;
    fault::Arm(target, 7);
    run.status = call == Call::kIdentifier
                     ? library::GetIdentifier(services, identifier, test::FixedCpuid)
                     : library::GetFacts(services, &facts, test::FixedCpuid);
    fault::Disarm();
    run.identifier = call == Call::kIdentifier ? identifier : facts.identifier;
    run.resourceFailure = services.ResourceFailure();
    run.calls = fault::state.calls;
    run.injected = fault::state.injected;
    return run;
}

class ResourceFaults : public testing::TestWithParam<Fixture> {};

TEST_P(ResourceFaults, EveryCallFailingForWantOfResourcesGivesTheResourceStatus) {
    const Fixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    for (const Call call : {Call::kIdentifier, Call::kFacts}) {
        SCOPED_TRACE(call == Call::kIdentifier ? "hwid_get_identifier" : "hwid_get_facts");
        const LibraryRun baseline = RunLibrary(tree, call, std::nullopt);
        ASSERT_EQ(baseline.status, HWID_OK);
        ASSERT_EQ(baseline.resourceFailure, ERROR_SUCCESS);
        ASSERT_EQ(baseline.identifier.size(), 64u);
        int cases = 0;
        for (std::size_t f = 0; f < kFunctionCount; ++f) {
            for (int k = 0; k < baseline.calls[f]; ++k) {
                for (const int error : {EMFILE, ENFILE, ENOMEM}) {
                    SCOPED_TRACE(std::string(kFunctionNames[f]) + " call " + std::to_string(k) +
                                 " fails with " + std::strerror(error));
                    const LibraryRun run = RunLibrary(
                        tree, call,
                        fault::Target{
                            .function = static_cast<Function>(f), .index = k, .error = error});
                    ASSERT_EQ(run.injected, 1);
                    EXPECT_EQ(run.status, HWID_RESOURCE_FAILURE);
                    EXPECT_EQ(run.resourceFailure, error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                                                   : ERROR_TOO_MANY_OPEN_FILES);
                    EXPECT_EQ(run.identifier, std::string(64, '-'));
                    ++cases;
                }
            }
        }
        EXPECT_GT(cases, 3 * 10);
    }
}

TEST_P(ResourceFaults, DriveErrorsAreNoResourceFailure) {
    const Fixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    const LibraryRun baseline = RunLibrary(tree, Call::kIdentifier, std::nullopt);
    for (std::size_t f = 0; f < kFunctionCount; ++f) {
        for (int k = 0; k < baseline.calls[f]; ++k) {
            for (const int error : {ENOENT, EACCES, EIO}) {
                SCOPED_TRACE(std::string(kFunctionNames[f]) + " call " + std::to_string(k) +
                             " fails with " + std::strerror(error));
                const LibraryRun run = RunLibrary(
                    tree, Call::kIdentifier,
                    fault::Target{
                        .function = static_cast<Function>(f), .index = k, .error = error});
                EXPECT_EQ(run.status, HWID_OK);
                EXPECT_EQ(run.resourceFailure, ERROR_SUCCESS);
                EXPECT_EQ(run.identifier.size(), 64u);
            }
        }
    }
}

// No descriptors left from some call on: the state `ulimit -n` leaves a run in.
TEST_P(ResourceFaults, DescriptorsRunningOutMidwayGiveTheResourceStatus) {
    const Fixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    const LibraryRun baseline = RunLibrary(tree, Call::kIdentifier, std::nullopt);
    for (int k = 0; k < baseline.calls[fault::IndexOf(Function::kOpen)]; ++k) {
        SCOPED_TRACE("open " + std::to_string(k) + " and later");
        const LibraryRun run = RunLibrary(
            tree, Call::kIdentifier,
            fault::Target{
                .function = Function::kOpen, .index = k, .error = EMFILE, .persistent = true});
        EXPECT_EQ(run.status, HWID_RESOURCE_FAILURE);
        EXPECT_EQ(run.identifier, std::string(64, '-'));
    }
}

INSTANTIATE_TEST_SUITE_P(LinuxBackEnd, ResourceFaults, testing::ValuesIn(kFixtures),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace hwid
