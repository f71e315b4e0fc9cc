#pragma once
// A server that sends a reply in several small pieces without TCP_NODELAY (ser2net with
// chardelay off) holds each piece until the one before is acknowledged, and the system
// delays an acknowledgement by up to 40 ms when it has no data to send with it: a block's
// short reply would take longer than its whole wait. Asked for again after every read,
// since the system drops back to delayed acknowledgements by itself.
namespace quick_ack {

// `socket` is the connected socket's descriptor; nothing happens where the system has no
// such request.
void request(long long socket);

} // namespace quick_ack
