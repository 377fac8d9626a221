// The receiving thread's work: it only takes datagrams from the syslog socket
// (many per system call), stamps each with the moment of reception and its
// sender, and appends it to the queue, so that reception never waits for
// processing. The kernel's count of datagrams it dropped for want of buffer
// space goes into the statistics.
#pragma once

class CUDPServer;
class ReceiveStop;
class Statistics;
namespace queue {
class MessageQueue;
}

// Runs until a stop is requested; then takes what the socket still holds
// (for at most a second, so that a flood cannot hold the stop back), closes
// the queue's input and returns. `server` is open. Failed receives are
// retried (after a pause from the second in a row on).
void runReceiver(CUDPServer& server, queue::MessageQueue& queue, const ReceiveStop& stop, Statistics& counters);
