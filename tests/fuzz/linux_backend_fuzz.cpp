// The Linux back end building its replies from arbitrary sysfs contents: the
// fuzzer writes the attribute files of one disk (NVMe, virtio, SATA or USB)
// in a scratch tree, and the probes run on it. The byte functions that read
// SG_IO replies (sense data, unit serial pages, HDIO identify data) get the
// same bytes directly.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/linux/ata.h"
#include "platform/linux/device_services.h"
#include "platform/linux/disk_info.h"

using namespace hwid;
using namespace hwid::fuzz;

namespace {

std::string root;

void MakeDirs(const std::string& path) {
    for (std::size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Require(fd >= 0, "scratch file opens");
    Require(size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size), "scratch write");
    ::close(fd);
}

void Link(const std::string& target, const std::string& path) {
    ::unlink(path.c_str());
    Require(::symlink(target.c_str(), path.c_str()) == 0, "scratch link");
}

struct DiskKind {
    const char* name;
    const char* devpath;
    const char* subsystem;
    // Attribute files the fuzzer fills, relative to the tree's root.
    std::vector<std::string> files;
};

std::vector<DiskKind> kinds;

// Four trees, one disk each: sys/devices/<devpath>/block/<name>, linked from
// sys/block, with the device link and subsystem that tell its bus.
void BuildTrees() {
    char pattern[] = "/tmp/hwid-fuzz-XXXXXX";
    Require(::mkdtemp(pattern) != nullptr, "scratch tree");
    root = pattern;
    kinds = {
        {"nvme0n1", "pci1/nvme/nvme0", "nvme", {"serial", "model", "firmware_rev"}},
        {"vda", "pci0/virtio1", "virtio", {"block/vda/serial", "vendor"}},
        {"sda",
         "pci0/ata1/host0/target0:0:0/0:0:0:0",
         "scsi",
         {"vendor", "model", "rev", "type", "vpd_pg80"}},
        {"sda",
         "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0",
         "scsi",
         {"vendor", "model", "rev", "vpd_pg80", "../../../../serial"}},
    };
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string tree = root + "/" + std::to_string(k);
        const std::string device = tree + "/sys/devices/" + kinds[k].devpath;
        const std::string block = device + "/block/" + kinds[k].name;
        MakeDirs(block + "/queue");
        MakeDirs(tree + "/sys/block");
        MakeDirs(tree + "/sys/bus/" + kinds[k].subsystem);
        MakeDirs(tree + "/dev");
        Link(device, block + "/device");
        Link(tree + "/sys/bus/" + kinds[k].subsystem, device + "/subsystem");
        Link(block, tree + "/sys/block/" + kinds[k].name);
        WriteFile(tree + "/mountinfo", nullptr, 0);
    }
}

// The next piece of the input: a length byte (times 2, so long files occur),
// then that many bytes.
std::vector<std::uint8_t> Piece(FuzzInput& input) {
    std::vector<std::uint8_t> bytes(2u * input.Byte());
    bytes.resize(input.Bytes(bytes));
    return bytes;
}

void CheckByteFunctions(const std::vector<std::uint8_t>& bytes) {
    linux_backend::ParseSense(bytes);
    linux_backend::ScsiOutcome outcome;
    outcome.status = bytes.empty() ? 0 : bytes[0];
    linux_backend::AtaPassThroughSucceeded(outcome, bytes);

    std::array<char, linux_backend::kStringSize> serial;
    if (linux_backend::UnitSerialFromPage(bytes, serial)) {
        Require(strnlen(serial.data(), serial.size()) < serial.size(), "page serial terminated");
    }

    std::array<std::uint8_t, 512> identify{};
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), identify.size()),
                identify.begin());
    linux_backend::HdioIdentityToAtaOrder(identify);
    std::array<std::uint32_t, kIdentifyWordCount> words;
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = identify[2 * i] | std::uint32_t{identify[2 * i + 1]} << 8;
    }
    DiskIdentity identity = ZeroedIdentity();
    ExtractIdentifyStrings(identity, words);
    RequireRecordInvariants(identity);
}

// A descriptor query into an output of exactly `size` bytes: the sanitizer
// sees any write past it, and every string offset must lie inside what was
// written, terminated there.
void CheckDescriptorQuery(LinuxDeviceServices& services, HANDLE drive, std::size_t size) {
    STORAGE_PROPERTY_QUERY query{};
    std::vector<std::uint8_t> out(size);
    DWORD written = 0;
    if (services.DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                 out.data(), static_cast<DWORD>(out.size()), &written,
                                 nullptr) == 0) {
        return;
    }
    Require(written <= size, "no more written than the output holds");
    if (written < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        return;
    }
    for (std::size_t field = 12; field <= 24; field += 4) {
        const std::uint32_t offset = out[field] | out[field + 1] << 8 | out[field + 2] << 16 |
                                     std::uint32_t{out[field + 3]} << 24;
        if (offset != 0) {
            Require(offset < written, "string offset inside the reply");
            Require(std::memchr(out.data() + offset, 0, written - offset) != nullptr,
                    "string terminated inside the reply");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BuildTrees();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::size_t k = input.Byte() % kinds.size();
    const DiskKind& kind = kinds[k];
    const std::string tree = root + "/" + std::to_string(k);
    const std::string device = tree + "/sys/devices/" + kind.devpath;
    const std::string block = device + "/block/" + kind.name;

    std::vector<std::uint8_t> first;
    for (const std::string& file : kind.files) {
        const std::vector<std::uint8_t> bytes = Piece(input);
        WriteFile(device + "/" + file, bytes.data(), bytes.size());
        if (first.empty()) {
            first = bytes;
        }
    }
    for (const char* file : {"size", "queue/logical_block_size", "removable"}) {
        const std::vector<std::uint8_t> bytes = Piece(input);
        WriteFile(block + "/" + file, bytes.data(), bytes.size());
    }
    const std::size_t outputSize = input.Byte() * 4u + input.Byte();
    CheckByteFunctions(first);

    LinuxDeviceServices services((tree + "/sys").c_str(), (tree + "/dev").c_str(),
                                 (tree + "/mountinfo").c_str(), "");
    DiskIdentity identity = ZeroedIdentity();
    CollectDiskIdentity(identity, services);
    RequireRecordInvariants(identity);
    Require(services.OpenHandleCount() == 0, "every handle closed");

    HANDLE drive =
        services.CreateFileA("\\\\.\\PhysicalDrive0", 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    if (drive != INVALID_HANDLE_VALUE) {
        CheckDescriptorQuery(services, drive, outputSize);
        std::vector<std::uint8_t> geometry(outputSize);
        DWORD written = 0;
        services.DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                 geometry.data(), static_cast<DWORD>(geometry.size()), &written,
                                 nullptr);
        Require(written <= geometry.size(), "geometry within its output");
        Require(services.CloseHandle(drive) != 0, "close");
    }
    Require(services.OpenHandleCount() == 0, "handle closed");
    return 0;
}
