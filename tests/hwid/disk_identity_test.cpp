#include "hwid/disk_identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/disk_replies.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

using test::Operation;
using test::PutText;
using test::ScriptedDeviceServices;
using test::TextOf;
using test::UsedRecord;

// The access that each CreateFileA asked for tells the probes apart: the
// SMART probe asks for read and write, the storage property probe for none.
std::vector<DWORD> AccessOfEachOpen(const ScriptedDeviceServices& services) {
    std::vector<DWORD> access;
    for (const auto& call : services.CallsOf(Operation::CreateFileA)) {
        access.push_back(call.desiredAccess);
    }
    return access;
}

constexpr DWORD kSmartAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kStorageAccess = 0;

// --- Probe order ------------------------------------------------------------

enum class SmartOutcome {
    kOpenFails,
    kVersionFailsWithoutMap,
    kNoDeviceMap,
    kIdentifyRefused,
    kSerialRejected,
    kSerialAccepted,
};

struct OrderCase {
    const char* name;
    SmartOutcome smart;
    bool storageRuns;
    std::string serialText;
};

void Script(ScriptedDeviceServices& services, SmartOutcome smart) {
    const auto words = test::IdentifyWords(
        smart == SmartOutcome::kSerialRejected ? "" : "        ABCD12345678", "DISK MODEL 1");
    switch (smart) {
        case SmartOutcome::kOpenFails:
            services.opens.push_back({.succeeds = false});
            break;
        case SmartOutcome::kVersionFailsWithoutMap:
            services.Reply(SMART_GET_VERSION, {.result = 0});
            break;
        case SmartOutcome::kNoDeviceMap:
            services.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(0)});
            break;
        case SmartOutcome::kIdentifyRefused:
            services.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(1)});
            services.Reply(SMART_RCV_DRIVE_DATA, {.result = 0});
            break;
        case SmartOutcome::kSerialRejected:
        case SmartOutcome::kSerialAccepted:
            services.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(1)});
            services.Reply(SMART_RCV_DRIVE_DATA,
                           {.result = 1, .bytes = test::IdentifyReply(words)});
            break;
    }
    // What the storage property probe finds, should it run.
    services.Reply(
        IOCTL_STORAGE_QUERY_PROPERTY,
        {.result = 1,
         .bytes = test::DescriptorReplyBytes({.product = "STORAGE MODEL", .serial = "STORAGE1"})});
    services.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
}

class ProbeOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ProbeOrder, StoragePropertyProbeRunsOnlyAfterSmartReturnsZero) {
    const OrderCase& c = GetParam();
    ScriptedDeviceServices services;
    Script(services, c.smart);
    // serialText holds text on entry: only because it is emptied first can
    // either probe write it.
    DiskIdentity identity = UsedRecord("SERIAL FROM BEFORE");

    EXPECT_EQ(CollectDiskIdentity(identity, services), 0);

    const std::vector<DWORD> expected = c.storageRuns
                                            ? std::vector<DWORD>{kSmartAccess, kStorageAccess}
                                            : std::vector<DWORD>{kSmartAccess};
    EXPECT_EQ(AccessOfEachOpen(services), expected);
    EXPECT_EQ(services.CallsOf(Operation::GetVersionExW).size(), 1u);
    EXPECT_EQ(services.Sequence().front(), Operation::GetVersionExW);
    EXPECT_EQ(TextOf(identity.serialText), c.serialText);
    EXPECT_EQ(services.closed, services.opened);
    EXPECT_EQ(services.badCloses, 0);
    EXPECT_LE(services.maxOpenAtOnce, 1);
    // Which disk is drive 0 is hwid-explain's question, never the probes'.
    EXPECT_EQ(services.describeCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    CollectDiskIdentity, ProbeOrder,
    ::testing::Values(
        OrderCase{"SmartOpenFails", SmartOutcome::kOpenFails, true, "STORAGE1"},
        OrderCase{"SmartVersionFailsWithoutMap", SmartOutcome::kVersionFailsWithoutMap, true,
                  "STORAGE1"},
        OrderCase{"SmartNoDeviceMap", SmartOutcome::kNoDeviceMap, true, "STORAGE1"},
        OrderCase{"SmartIdentifyRefused", SmartOutcome::kIdentifyRefused, true, "STORAGE1"},
        // The drive answered: its rejected serial is final.
        OrderCase{"SmartRejects", SmartOutcome::kSerialRejected, false, ""},
        OrderCase{"SmartAccepts", SmartOutcome::kSerialAccepted, false, "ABCD12345678"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CollectDiskIdentity, AsksForThePlatformWithAZeroFilledRecordOf276Bytes) {
    ScriptedDeviceServices services;
    services.platformId = VER_PLATFORM_WIN32_WINDOWS;  // so that only the query runs
    DiskIdentity identity = UsedRecord("SERIAL FROM BEFORE");

    CollectDiskIdentity(identity, services);

    const auto queries = services.CallsOf(Operation::GetVersionExW);
    ASSERT_EQ(queries.size(), 1u);
    std::vector<std::uint8_t> expected(276, 0);
    expected[0] = 276 & 0xFF;
    expected[1] = 276 >> 8;
    EXPECT_EQ(queries[0].input, expected);
}

// --- Platforms on which no probe runs ---------------------------------------

struct PlatformCase {
    const char* name;
    DWORD platformId;
    bool versionFails;
};

class NoProbe : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(NoProbe, EmptiesSerialTextAndKeepsTheRest) {
    const PlatformCase& c = GetParam();
    ScriptedDeviceServices services;
    services.platformId = c.platformId;
    services.versionFails = c.versionFails;
    DiskIdentity identity = UsedRecord("SERIAL FROM BEFORE");
    const DiskIdentity before = identity;

    EXPECT_EQ(CollectDiskIdentity(identity, services), 0);

    EXPECT_EQ(services.Sequence(), std::vector<Operation>{Operation::GetVersionExW});
    // Emptied by its first byte alone; the old bytes behind it stay.
    EXPECT_EQ(identity.serialText[0], '\0');
    EXPECT_TRUE(std::equal(identity.serialText.begin() + 1, identity.serialText.end(),
                           before.serialText.begin() + 1));
    EXPECT_EQ(identity.modelText, before.modelText);
    EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
    EXPECT_EQ(identity.smartReply, before.smartReply);
}

INSTANTIATE_TEST_SUITE_P(
    CollectDiskIdentity, NoProbe,
    ::testing::Values(PlatformCase{"Win32s", VER_PLATFORM_WIN32s, false},
                      PlatformCase{"Windows9x", VER_PLATFORM_WIN32_WINDOWS, false},
                      PlatformCase{"UnknownPlatform", 3, false},
                      // Fails without writing: the platform id stays 0.
                      PlatformCase{"VersionQueryFails", VER_PLATFORM_WIN32_NT, true}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace hwid
