// CForwardAction: action 1001, "Forward To Syslog". Relays the message to
// another syslog server as one UDP datagram: "<PRI>" rebuilt from facility and
// priority, then, with nSyslogReplaceSource 1, RealSource:"<sender>" and a
// blank, then the message text after its PRI part, byte for byte. The
// datagram carries no time stamp or host name of its own.
//
// The target is the entry's parameter when it has one, else
// szSyslogSendServer: "host", "a.b.c.d" or either with ":port" (no port: the
// "syslog"/"udp" service port). An empty target sends nothing.
//
// The sender is kept between messages (receive thread only): its socket, the
// service port and the resolved target are made once, not per message, which
// multiplies the forwarding rate. The outcome of looking a host name up is
// remembered per target for a second, whether the name resolved or not, so
// that a changed name record takes effect within a second and rules that
// alternate between targets look none of them up per message.
//
// A name that does not resolve raises error 5 for every message to its target
// while the failed look-up is remembered, marked as an output failure: the
// output guard (rules/output_guard.h) then suspends the target, logs the
// episode once and holds its messages back from the action, trying the target
// again with back-off. A failed send raises error 6, an output failure when the
// target cannot be reached (no route, network down).
#pragma once

#include "rules/CAction.h"

class CForwardAction : public CAction {
 public:
  // Throws CWinSockError: 7 (no syslog service entry, even for an empty
  // target), 8 (bind), 4 (bad dotted address), 5 (name does not resolve; an
  // output failure), 6 (sendto; an output failure when unreachable).
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};

// Closes the kept sender and its socket; the receive loop calls it when it
// ends, tests when they are done.
void releaseForwardSender();
