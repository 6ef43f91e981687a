#pragma once
// The sender of a run as the options ask: where every datagram goes, what
// it carries, and the events it tells.

#include <vector>

#include "hold/inhibit_sender.h"

class QUdpSocket;
struct AgentOptions;
struct BenchEvents;

void configure_sender(InhibitSender& sender, QUdpSocket* socket, const AgentOptions& options,
                      const std::vector<SendDestination>& also, BenchEvents* events);
