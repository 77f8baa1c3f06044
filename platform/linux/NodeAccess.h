// Why a hidraw node can or cannot be opened by this user: its owner, mode and
// access control list, whether udev tagged it for the seat user, and whether
// the project's udev rule is installed where udev reads rules. Every path is
// a parameter so that tests can point it at a tree they built.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/HidrawSysfs.h"

namespace orvex {

constexpr const char* kUdevRuleName = "70-orvex-bridge.rules";

struct UdevPaths {
    std::string sysfs_root = kSysfsRoot;
    std::string udev_data_dir = "/run/udev/data";  // udev's device database
    // Where udev reads rules, in its order of precedence.
    std::vector<std::string> rule_dirs = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                          "/lib/udev/rules.d"};
    std::string rule_name = kUdevRuleName;
};

// The directories of paths.rule_dirs that hold the rule. A directory that is
// another's alias (/lib on a merged /usr) is named once.
std::vector<std::string> FindInstalledRule(const UdevPaths& paths);

// One entry of a POSIX access control list.
struct AclEntry {
    enum Tag : uint16_t { UserObj = 0x01, User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20 };
    uint16_t tag = 0;
    uint16_t perm = 0;  // 4 read, 2 write, 1 execute
    uint32_t id = 0;    // user or group id for User and Group entries
};

// Decodes the kernel's system.posix_acl_access value: a version word (2),
// then 8-byte entries, little-endian. False for anything else.
bool DecodePosixAcl(const uint8_t* data, size_t size, std::vector<AclEntry>* entries);
// "user::rw-,user:alice:rw-,group::---,mask::rw-,other::---"
std::string FormatAcl(const std::vector<AclEntry>& entries);

struct NodeAccess {
    bool exists = false;
    bool can_open = false;  // read and write, as the bridge opens it
    std::string open_error;
    uid_t owner = 0;
    gid_t group = 0;
    std::string owner_name, group_name;  // numbers when unknown
    unsigned mode = 0;                   // permission bits
    bool has_acl = false;
    std::string acl;               // FormatAcl of the entries
    bool acl_grants_user = false;  // a user entry gives this user read and write
    bool udev_known = false;       // udev's database has the node
    bool tagged_uaccess = false;   // udev tagged it for the seat user
    std::vector<std::string> rule_installed_in;
    std::string fix;  // what to do when it cannot be opened
};

// What to do about a node that open() refused with openErrno, from the most
// likely cause down: no rule, rule not applied, not the seat user, the rest.
std::string ChooseNodeAccessFix(const NodeAccess& access, int openErrno);

// Examines devnode (its name gives the sysfs entry) for the user.
NodeAccess InspectNodeAccess(const std::string& devnode, const UdevPaths& paths, uid_t user);

}  // namespace orvex
