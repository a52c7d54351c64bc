// The C interface as a caller sees it: argument errors write nothing, the
// status texts, and many threads calling both functions at once, all getting
// the same answers (run under ThreadSanitizer by the tsan preset).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hwid/hwid.h"

namespace {

TEST(LibraryArguments, NullIdentifierIsAnArgumentError) {
    EXPECT_EQ(hwid_get_identifier(nullptr), HWID_INVALID_ARGUMENT);
}

TEST(LibraryArguments, NullFactsIsAnArgumentError) {
    EXPECT_EQ(hwid_get_facts(nullptr), HWID_INVALID_ARGUMENT);
}

TEST(LibraryArguments, RecordSizeZeroOrTooSmallWritesNothing) {
    for (const std::uint32_t size :
         {std::uint32_t{0}, std::uint32_t{4}, static_cast<std::uint32_t>(sizeof(hwid_facts) - 1)}) {
        SCOPED_TRACE(size);
        hwid_facts facts;
        std::memset(&facts, 0x5A, sizeof facts);
        facts.size = size;
        hwid_facts before;
        std::memcpy(&before, &facts, sizeof facts);
        EXPECT_EQ(hwid_get_facts(&facts), HWID_INVALID_ARGUMENT);
        EXPECT_EQ(std::memcmp(&facts, &before, sizeof facts), 0);
    }
}

TEST(LibraryArguments, LargerRecordOfALaterHeaderKeepsItsTail) {
    struct Later {
        hwid_facts facts;
        unsigned char added[64];
    } later;
    std::memset(&later, 0x5A, sizeof later);
    later.facts.size = sizeof later;
    ASSERT_EQ(hwid_get_facts(&later.facts), HWID_OK);
    EXPECT_EQ(later.facts.size, sizeof later);
    for (const unsigned char byte : later.added) {
        EXPECT_EQ(byte, 0x5A);
    }
    char identifier[HWID_IDENTIFIER_SIZE];
    ASSERT_EQ(hwid_get_identifier(identifier), HWID_OK);
    EXPECT_STREQ(later.facts.identifier, identifier);
}

TEST(LibraryStatus, EachStatusHasItsOwnText) {
    const std::string ok = hwid_status_text(HWID_OK);
    const std::string argument = hwid_status_text(HWID_INVALID_ARGUMENT);
    const std::string resource = hwid_status_text(HWID_RESOURCE_FAILURE);
    const std::string unknown = hwid_status_text(static_cast<hwid_status>(3));
    EXPECT_EQ(ok, "success");
    EXPECT_NE(argument.find("argument"), std::string::npos);
    EXPECT_NE(resource.find("resources"), std::string::npos);
    EXPECT_EQ(unknown, "unknown status");
    EXPECT_NE(argument, resource);
}

TEST(LibraryStatus, VersionIsTheProjects) {
    EXPECT_STREQ(hwid_version(), HWID_EXPECTED_VERSION);
}

TEST(LibraryCalls, IdentifierIsHexAndStable) {
    char first[HWID_IDENTIFIER_SIZE];
    char second[HWID_IDENTIFIER_SIZE];
    ASSERT_EQ(hwid_get_identifier(first), HWID_OK);
    ASSERT_EQ(hwid_get_identifier(second), HWID_OK);
    ASSERT_EQ(std::strlen(first), 64u);
    for (const char c : std::string(first)) {
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << first;
    }
    EXPECT_STREQ(first, second);
}

// Every thread calls both functions many times; the first calls of all
// threads start together, so that the key schedule is set up under contention.
TEST(LibraryThreads, ManyThreadsGetTheSameAnswers) {
    constexpr int kThreads = 16;
    constexpr int kRounds = 25;
    struct Result {
        std::string identifier;
        std::string factsIdentifier;
        std::string serial;
        std::uint32_t signature = 0;
        std::uint32_t fold = 0;
        int failures = 0;
        int mismatches = 0;
    };
    std::array<Result, kThreads> results{};
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Result& result = results[static_cast<std::size_t>(t)];
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
            }
            for (int round = 0; round < kRounds; ++round) {
                char identifier[HWID_IDENTIFIER_SIZE];
                hwid_facts facts;
                facts.size = sizeof facts;
                if (hwid_get_identifier(identifier) != HWID_OK ||
                    hwid_get_facts(&facts) != HWID_OK) {
                    ++result.failures;
                    continue;
                }
                if (round == 0) {
                    result.identifier = identifier;
                    result.factsIdentifier = facts.identifier;
                    result.serial = facts.serial;
                    result.signature = facts.cpu_signature;
                    result.fold = facts.fold_value;
                } else if (result.identifier != identifier ||
                           result.factsIdentifier != facts.identifier ||
                           result.serial != facts.serial || result.fold != facts.fold_value ||
                           result.signature != facts.cpu_signature) {
                    ++result.mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const Result& result : results) {
        EXPECT_EQ(result.failures, 0);
        EXPECT_EQ(result.mismatches, 0);
        EXPECT_EQ(result.identifier, results[0].identifier);
        EXPECT_EQ(result.factsIdentifier, results[0].identifier);
        EXPECT_EQ(result.serial, results[0].serial);
        EXPECT_EQ(result.signature, results[0].signature);
        EXPECT_EQ(result.fold, results[0].fold);
    }
    EXPECT_EQ(results[0].identifier.size(), 64u);
}

}  // namespace
