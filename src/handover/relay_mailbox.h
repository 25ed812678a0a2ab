// Relay packets on their way from the MQTT callback thread to the relay
// thread. Packets are partial updates (each names only the relays it
// switches), so every accepted packet is kept and applied in arrival order:
// a small bounded FIFO rather than a single buffer that a second packet
// would overwrite.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string_view>

constexpr std::size_t RELAY_PACKET_SIZE = 500; // terminator included
constexpr std::size_t RELAY_QUEUE_DEPTH = 16;

using relay_packet = std::array<char, RELAY_PACKET_SIZE>;

// Appends a copy of `text`. Returns false (and keeps nothing) when the text
// does not fit a packet or the queue is full.
bool relay_mailbox_push(std::string_view text);

// Moves the oldest packet into `out`. Returns false when the queue is empty.
bool relay_mailbox_pop(relay_packet &out);

// Waits up to `timeout` for a packet to be queued, or less when a shutdown
// is requested. Returns true when one is waiting.
bool relay_mailbox_wait(std::chrono::milliseconds timeout);

// Ends every wait at once (after request_shutdown()).
void relay_mailbox_wake();

std::size_t relay_mailbox_size();

// Drops every queued packet (tests).
void relay_mailbox_clear();
