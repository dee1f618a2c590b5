#include "drivenames.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <sys/stat.h>

namespace korvath {

namespace {

bool isDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool hasPrefix(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// Devices that are never a recorder's disk: RAM disks, optical and floppy
// drives, and the kernel's own composites of other disks.
bool isExcluded(const std::string &name)
{
    static const char *const prefixes[] = {"ram", "zram", "sr", "fd", "md", "dm-"};
    for (const char *p : prefixes)
        if (hasPrefix(name, p))
            return true;
    return false;
}

bool isLoop(const std::string &name)
{
    return hasPrefix(name, "loop");
}

unsigned long long loopNumber(const std::string &name)
{
    unsigned long long n = 0;
    for (size_t i = 4; i < name.size() && isDigit(name[i]); ++i)
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    return n;
}

// Families whose disks are numbered with letters: sda ... sdz, sdaa ...
size_t letterFamilyLength(const std::string &run)
{
    static const char *const families[] = {"xvd", "sd", "hd", "vd"};
    for (const char *f : families)
        if (hasPrefix(run, f))
            return std::char_traits<char>::length(f);
    return 0;
}

bool letterRunLess(const std::string &a, const std::string &b)
{
    const size_t family = letterFamilyLength(a);
    if (family != 0 && family == letterFamilyLength(b) && a.compare(0, family, b, 0, family) == 0
        && a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

} // namespace

bool naturalNameLess(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = isDigit(a[i]);
        const bool digitB = isDigit(b[j]);
        size_t ei = i, ej = j;
        while (ei < a.size() && isDigit(a[ei]) == digitA)
            ++ei;
        while (ej < b.size() && isDigit(b[ej]) == digitB)
            ++ej;
        if (digitA != digitB)
            return digitA; // digits before letters
        std::string ra = a.substr(i, ei - i);
        std::string rb = b.substr(j, ej - j);
        if (digitA) {
            // Compare by value: strip leading zeros, then by length and characters.
            ra.erase(0, std::min(ra.find_first_not_of('0'), ra.size() - 1));
            rb.erase(0, std::min(rb.find_first_not_of('0'), rb.size() - 1));
            if (ra.size() != rb.size())
                return ra.size() < rb.size();
            if (ra != rb)
                return ra < rb;
        } else if (ra != rb) {
            return letterRunLess(ra, rb);
        }
        i = ei;
        j = ej;
    }
    return (a.size() - i) < (b.size() - j);
}

std::vector<std::string> orderDriveNames(const std::vector<BlockDeviceEntry> &entries)
{
    std::vector<std::string> disks;
    std::vector<std::string> loops;
    for (const BlockDeviceEntry &e : entries) {
        if (isLoop(e.name)) {
            if (e.hasBackingFile)
                loops.push_back(e.name);
        } else if (!isExcluded(e.name) && !e.name.empty() && e.name[0] != '.') {
            disks.push_back(e.name);
        }
    }
    std::sort(disks.begin(), disks.end(), naturalNameLess);
    std::sort(loops.begin(), loops.end(), [](const std::string &a, const std::string &b) {
        return loopNumber(a) < loopNumber(b);
    });
    disks.insert(disks.end(), loops.begin(), loops.end());
    return disks;
}

std::vector<BlockDeviceEntry> listBlockDevices(const std::string &sysBlock)
{
    std::vector<BlockDeviceEntry> entries;
    DIR *dir = opendir(sysBlock.c_str());
    if (!dir)
        return entries;
    while (dirent *d = readdir(dir)) {
        BlockDeviceEntry e;
        e.name = d->d_name;
        if (e.name == "." || e.name == "..")
            continue;
        if (isLoop(e.name)) {
            struct stat st;
            const std::string backing = sysBlock + "/" + e.name + "/loop/backing_file";
            e.hasBackingFile = ::stat(backing.c_str(), &st) == 0;
        }
        entries.push_back(e);
    }
    closedir(dir);
    return entries;
}

} // namespace korvath
