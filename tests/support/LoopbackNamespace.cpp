#include "LoopbackNamespace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool bringLoopbackUp(std::string& problem)
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        problem = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (!up)
        problem = std::string("cannot bring lo up: ") + std::strerror(errno);
    close(control);
    return up;
}

} // namespace

LoopbackNamespace::LoopbackNamespace()
{
    previousNamespace = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    entered = enter();
    if (!entered)
        why = "this test runs the DNSCrypt proxy, which binds 127.0.0.1:53 and asks its resolver, in a network namespace of its "
              "own with loopback alone; run it as root, or inside `unshare --net --map-root-user` as scripts/test does ("
            + why + ")";
}

bool LoopbackNamespace::enter()
{
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare: ") + std::strerror(errno);
        return false;
    }
    if (bringLoopbackUp(why))
        return true;
    if (previousNamespace >= 0)
        setns(previousNamespace, CLONE_NEWNET);
    return false;
}

LoopbackNamespace::~LoopbackNamespace()
{
    if (entered && previousNamespace >= 0)
        setns(previousNamespace, CLONE_NEWNET);
    if (previousNamespace >= 0)
        close(previousNamespace);
}
