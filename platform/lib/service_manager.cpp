#include "platform/service_manager.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

uint32_t notify_ready() {
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || !*path)
        return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof(addr.sun_path) || (path[0] != '/' && path[0] != '@'))
        return EINVAL;
    memcpy(addr.sun_path, path, len);
    if (path[0] == '@')
        addr.sun_path[0] = '\0';
    socklen_t alen = socklen_t(offsetof(sockaddr_un, sun_path) + len + (path[0] == '/' ? 1 : 0));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return uint32_t(errno);
    static const char msg[] = "READY=1";
    ssize_t n =
        sendto(fd, msg, sizeof(msg) - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr), alen);
    uint32_t status = n < 0 ? uint32_t(errno) : 0;
    close(fd);
    return status;
}

}  // namespace platform
