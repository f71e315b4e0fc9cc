#include "quick_ack.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quick_ack {

void request(long long socket)
{
    const int on = 1;
    setsockopt(int(socket), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace quick_ack
