// The receiving thread's work: it only takes datagrams from the syslog socket
// (many per system call), stamps each with the moment of reception and its
// sender, and appends it to the queue, so that reception never waits for
// processing. The kernel's count of datagrams it dropped for want of buffer
// space goes into the statistics.
#pragma once

#include <sys/socket.h>

class CUDPServer;
class ReceiveStop;
class Statistics;
namespace queue {
class MessageQueue;
struct RecordHeader;
}  // namespace queue

// Writes the sender `from` into the record's family, address and port. An
// IPv4 sender that reached the dual-stack socket (::ffff:a.b.c.d) is recorded
// as the AF_INET address it is, as it would be from an IPv4 socket.
void recordSender(const sockaddr_storage& from, queue::RecordHeader& header);

// Runs until a stop is requested; then takes what the socket still holds
// (for at most a second, so that a flood cannot hold the stop back), closes
// the queue's input and returns. `server` is open. Failed receives are
// retried (after a pause from the second in a row on).
void runReceiver(CUDPServer& server, queue::MessageQueue& queue, const ReceiveStop& stop, Statistics& counters);
