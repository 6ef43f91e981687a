#include "app/run_sender.h"

#include "app/agent_options.h"
#include "app/fault_options.h"
#include "hold/inhibit_payload.h"
#include "monitor/monotonic_clock.h"

void configure_sender(InhibitSender& sender, QUdpSocket* socket, const AgentOptions& options,
                      const std::vector<SendDestination>& also, BenchEvents* events)
{
    sender.socket = socket;
    sender.address = QHostAddress(options.host);
    sender.host_text = options.host;
    sender.port = options.port;
    sender.station_body = json_string_body(options.station);
    sender.band_body = json_string_body(options.band);
    sender.events = events;
    sender.also = also;
    sender.destinations_text = destinations_text(options, also);
    sender.now_ns = monotonic_now_ns;
}
