// How drive numbers map to Linux block devices: the whole disks under
// /sys/block in the kernel's natural name order, then the loop devices that
// have a backing file, by number.
#pragma once

#include <string>
#include <vector>

namespace korvath {

struct BlockDeviceEntry {
    std::string name;        // as under /sys/block, e.g. "sda", "nvme0n1", "loop3"
    bool hasBackingFile = false; // loop devices only
};

// True when a sorts before b: digit runs compare by value (nvme0n2 before
// nvme0n10), letter runs by character, except that the letter-numbered disks
// of one family go by length first (sdz before sdaa).
bool naturalNameLess(const std::string &a, const std::string &b);

// The device names in drive-number order.
std::vector<std::string> orderDriveNames(const std::vector<BlockDeviceEntry> &entries);

// Reads /sys/block (or another folder laid out like it).
std::vector<BlockDeviceEntry> listBlockDevices(const std::string &sysBlock = "/sys/block");

} // namespace korvath
