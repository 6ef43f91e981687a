#pragma once
// Limits of the inhibit datagram that the sender and the receiver share.

// The largest payload a station accepts: keyline-station refuses a longer
// datagram, and keyline-bench refuses at start-up a station or band that
// would make its datagrams longer.
constexpr int MAX_INHIBIT_PAYLOAD_BYTES = 2048;
