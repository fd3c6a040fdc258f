#include "app/Privileges.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

bool giveUpPrivileges(std::string& why) {
    if (::getuid() != ::geteuid() || ::getgid() != ::getegid()) {
        why = "looptest refuses to run set-uid or set-gid: anyone could then make it load code "
              "of their choosing with those rights. Remove the bit (chmod u-s,g-s) and grant the "
              "port helper alone its one capability, as the README says.";
        return false;
    }
    // Every set emptied: what a file capability or an inherited ambient set gave is gone, and
    // nothing that runs later in this process, a plugin included, can take it back. No
    // no-new-privileges here, so that the port helper still receives its own capability.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capset, &header, data) != 0) {
        why = std::string("looptest cannot give up its capabilities: ") + std::strerror(errno);
        return false;
    }
    return true;
}
