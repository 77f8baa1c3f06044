#include "platform/linux/NodeAccess.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

namespace orvex {

namespace {

constexpr uint32_t kAclVersion = 2;
constexpr const char* kAclAttribute = "system.posix_acl_access";

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string UserName(uid_t uid) {
    passwd entry{}, *result = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &result) == 0 && result) return result->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    group entry{}, *result = nullptr;
    char buffer[1024];
    if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &result) == 0 && result) return result->gr_name;
    return std::to_string(gid);
}

std::string Perm(uint16_t perm) {
    std::string text = "---";
    if (perm & 4) text[0] = 'r';
    if (perm & 2) text[1] = 'w';
    if (perm & 1) text[2] = 'x';
    return text;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

const char* kInstallRule =
    "install the udev rule (the package does; from the source tree: sudo install -m 644 "
    "packaging/udev/70-orvex-bridge.rules /etc/udev/rules.d/), then run sudo udevadm control --reload-rules && "
    "sudo udevadm trigger --subsystem-match=hidraw";

}  // namespace

std::vector<std::string> FindInstalledRule(const UdevPaths& paths) {
    std::vector<std::string> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const auto& dir : paths.rule_dirs) {
        struct stat info {};
        if (stat((dir + "/" + paths.rule_name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (seen.insert({info.st_dev, info.st_ino}).second) found.push_back(dir);
    }
    return found;
}

bool DecodePosixAcl(const uint8_t* data, size_t size, std::vector<AclEntry>* entries) {
    entries->clear();
    if (size < 4 || (size - 4) % 8 != 0 || Le32(data) != kAclVersion) return false;
    for (size_t at = 4; at < size; at += 8) {
        AclEntry entry;
        entry.tag = Le16(data + at);
        entry.perm = Le16(data + at + 2);
        entry.id = Le32(data + at + 4);
        switch (entry.tag) {
            case AclEntry::UserObj:
            case AclEntry::User:
            case AclEntry::GroupObj:
            case AclEntry::Group:
            case AclEntry::Mask:
            case AclEntry::Other:
                break;
            default:
                entries->clear();
                return false;
        }
        entries->push_back(entry);
    }
    return true;
}

std::string FormatAcl(const std::vector<AclEntry>& entries) {
    std::string text;
    for (const auto& entry : entries) {
        if (!text.empty()) text += ',';
        switch (entry.tag) {
            case AclEntry::UserObj:
                text += "user::";
                break;
            case AclEntry::User:
                text += "user:" + UserName(entry.id) + ":";
                break;
            case AclEntry::GroupObj:
                text += "group::";
                break;
            case AclEntry::Group:
                text += "group:" + GroupName(entry.id) + ":";
                break;
            case AclEntry::Mask:
                text += "mask::";
                break;
            default:
                text += "other::";
                break;
        }
        text += Perm(entry.perm);
    }
    return text;
}

std::string ChooseNodeAccessFix(const NodeAccess& access, int openErrno) {
    if (openErrno != EACCES && openErrno != EPERM)
        return "re-plug the device; if that does not help, its driver refuses to open it";
    if (access.rule_installed_in.empty()) return kInstallRule;
    if (!access.tagged_uaccess)
        return "the udev rule is installed but was not applied to this node: run sudo udevadm control "
               "--reload-rules && sudo udevadm trigger --subsystem-match=hidraw, or re-plug the device";
    if (!access.acl_grants_user)
        return "udev gives the node to the user of the active local session only: run the bridge in your desktop "
               "session (not over ssh or as another user)";
    return "ask the administrator for read and write access to the node";
}

NodeAccess InspectNodeAccess(const std::string& devnode, const UdevPaths& paths, uid_t user) {
    NodeAccess access;
    access.rule_installed_in = FindInstalledRule(paths);

    struct stat info {};
    if (stat(devnode.c_str(), &info) != 0) {
        access.open_error = std::strerror(errno);
        access.fix = "the node is gone: re-plug the device";
        return access;
    }
    access.exists = true;
    access.owner = info.st_uid;
    access.group = info.st_gid;
    access.owner_name = UserName(info.st_uid);
    access.group_name = GroupName(info.st_gid);
    access.mode = info.st_mode & 07777;

    const int fd = ::open(devnode.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    const int openErrno = errno;
    if (fd >= 0) {
        access.can_open = true;
        ::close(fd);
    } else {
        access.open_error = std::strerror(openErrno);
    }

    uint8_t acl[512];
    const ssize_t aclSize = getxattr(devnode.c_str(), kAclAttribute, acl, sizeof acl);
    std::vector<AclEntry> entries;
    if (aclSize > 0 && DecodePosixAcl(acl, static_cast<size_t>(aclSize), &entries)) {
        access.has_acl = true;
        access.acl = FormatAcl(entries);
        uint16_t mask = 7;
        bool named = false;
        for (const auto& entry : entries) {
            if (entry.tag == AclEntry::Mask) mask = entry.perm;
            if (entry.tag == AclEntry::User && entry.id == user && (entry.perm & 6) == 6) named = true;
        }
        access.acl_grants_user = named && (mask & 6) == 6;
    }

    // "241:3" names the node in udev's database as "c241:3".
    const std::string dev = ReadFirstLine(paths.sysfs_root + "/class/hidraw/" + HidrawNodeName(devnode) + "/dev");
    if (!dev.empty()) {
        std::ifstream data(paths.udev_data_dir + "/c" + dev);
        std::string line;
        while (data && std::getline(data, line)) {
            access.udev_known = true;
            // G: every tag ever set, Q: the tags of the last event.
            if (line == "G:uaccess" || line == "Q:uaccess") access.tagged_uaccess = true;
        }
    }

    if (!access.can_open) access.fix = ChooseNodeAccessFix(access, openErrno);
    return access;
}

}  // namespace orvex
