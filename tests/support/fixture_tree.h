// Sysfs-like fixture trees for the Linux back end's tests: directories,
// attribute files, links, /dev nodes and a mount table in a temporary
// directory that goes away with the tree.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/device_services.h"

namespace hwid::test {

// The descriptors this process holds now, -1 when that cannot be told.
inline int OpenDescriptorCount() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (::readdir(directory) != nullptr) {
        ++count;
    }
    ::closedir(directory);
    return count;
}

class Tree {
  public:
    Tree() {
        char pattern[] = "/tmp/hwid-tree-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        root_ = made != nullptr ? made : "";
        Dir("sys/block");
        Dir("sys/class/block");
        Dir("sys/dev/block");
        Dir("dev");
    }
    ~Tree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    std::string At(const std::string& relative) const { return root_ + "/" + relative; }

    void Dir(const std::string& relative) const {
        std::filesystem::create_directories(At(relative));
    }
    void File(const std::string& relative, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(At(relative)).parent_path());
        std::ofstream(At(relative), std::ios::binary | std::ios::trunc) << bytes;
    }
    // A link to another place in the tree, by its absolute path.
    void Link(const std::string& relative, const std::string& targetRelative) const {
        LinkText(relative, At(targetRelative));
    }
    void LinkText(const std::string& relative, const std::string& target) const {
        std::filesystem::create_directories(std::filesystem::path(At(relative)).parent_path());
        std::error_code ignored;
        std::filesystem::remove(At(relative), ignored);
        std::filesystem::create_symlink(target, At(relative));
    }
    void Remove(const std::string& relative) const {
        std::error_code ignored;
        std::filesystem::remove_all(At(relative), ignored);
    }

    // A whole disk at sys/devices/<devpath>/block/<name>, with its links in
    // block/, class/block/ and dev/block/; the device of the disk is devpath
    // itself, in the given subsystem (none when empty).
    std::string Disk(const std::string& name, const std::string& devpath,
                     const std::string& subsystem, const std::string& number) const {
        const std::string block = "sys/devices/" + devpath + "/block/" + name;
        Dir(block + "/slaves");
        File(block + "/size", "2097152\n");
        File(block + "/queue/logical_block_size", "512\n");
        File(block + "/removable", "0\n");
        File(block + "/dev", number + "\n");
        if (!subsystem.empty()) {
            Link(block + "/device", "sys/devices/" + devpath);
            LinkText("sys/devices/" + devpath + "/subsystem", "../../../bus/" + subsystem);
        }
        Link("sys/block/" + name, block);
        Link("sys/class/block/" + name, block);
        Link("sys/dev/block/" + number, block);
        return block;
    }
    void Partition(const std::string& diskBlock, const std::string& name,
                   const std::string& number) const {
        const std::string block = diskBlock + "/" + name;
        File(block + "/partition", "1\n");
        File(block + "/dev", number + "\n");
        Link("sys/class/block/" + name, block);
        Link("sys/dev/block/" + number, block);
    }
    // A dm or md device over the named members (partitions or disks).
    void Stacked(const std::string& name, const std::string& number,
                 const std::vector<std::string>& members) const {
        const std::string block = Disk(name, "virtual", "", number);
        // As in sysfs, each link names the member's own directory.
        for (const std::string& member : members) {
            LinkText(block + "/slaves/" + member,
                     std::filesystem::canonical(At("sys/class/block/" + member)).string());
        }
    }
    void Node(const std::string& name) const { File("dev/" + name, ""); }
    void Mountinfo(const std::string& text) const { File("mountinfo", text); }

    LinuxDeviceServices Services() const {
        return LinuxDeviceServices(At("sys"), At("dev"), At("mountinfo"), "");
    }

  private:
    std::string root_;
};

}  // namespace hwid::test
