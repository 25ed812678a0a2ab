// What the OBD side sends the UI, kept while the broker cannot take it.
//
// A broker that restarts or stalls must cost the UI nothing it needs: the
// bring-up's status words still arrive once each and in order, and the
// result of a command the ECU answered still arrives, once the link is
// back. Heartbeat words are only worth anything at the moment they are sent.
//
//   outbox_send(packet, delivery::now_or_never)       "ECU", "NOECU", "GOTECU"
//   outbox_send(packet, delivery::in_order)           "MODEDETECTED" ... "WRNGCFG"
//   outbox_send(document, delivery::latest_of_command, 1)   a command's result
//
// Everything kept goes out in the order it was handed in, before anything
// newer: with the next message, or at the OBD thread's next pass
// (outbox_flush), whichever comes first once the link is up again.
//
// Once a stop is requested (request_shutdown) nothing more is published:
// outbox_send drops every text and outbox_flush does nothing.
#pragma once

#include <cstddef>

enum class delivery {
    now_or_never,      // dropped when it cannot go out at once
    in_order,          // kept, in order; a repeat of the newest kept text is not kept twice
    latest_of_command, // kept; replaces what is still kept for the same command
};

enum class outbox_result {
    sent,    // published now
    kept,    // the link is down or busy: published later
    dropped, // not published, and never will be
};

constexpr std::size_t OUTBOX_CAPACITY = 32; // kept messages; the oldest goes first when full

// Publishes `text` on the response topic, or keeps it as `how` says. `cmd` is
// the command whose result the text is (latest_of_command only). Safe to call
// from any thread but the MQTT library's callback thread.
outbox_result outbox_send(const char *text, delivery how, int cmd = 0);

// Publishes what is kept, oldest first, while the link takes it.
void outbox_flush();

std::size_t outbox_size();

// Forgets everything kept (tests).
void outbox_clear();
