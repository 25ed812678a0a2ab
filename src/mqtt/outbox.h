// What the OBD side sends the UI, kept while the broker cannot take it.
//
// A broker that restarts or stalls must cost the UI nothing it needs: the
// bring-up's status words still arrive once each and in order, and the
// result of a command the ECU answered still arrives, once the link is
// back. Heartbeat words are only worth anything at the moment they are sent.
//
//   outbox_send(packet, delivery::now_or_never)       "ECU", "NOECU", "GOTECU", live documents
//   outbox_send(packet, delivery::in_order)           "MODEDETECTED" ... "WRNGCFG"
//   outbox_send(document, delivery::latest_of_command, 1)   a command's result
//
// A new bring-up (outbox_begin_bringup) replaces the words of earlier ones
// not yet delivered; when the outbox is full a status word makes room, a
// command's result never goes for a status word. The log says once when
// sending stops working (with how many messages are kept) and once when it
// works again; nothing is tried while the link is not connected.
//
// Everything kept goes out in the order it was handed in, before anything
// newer: with the next message, or at the OBD thread's next pass
// (outbox_flush), whichever comes first once the link is up again.
//
// A kept kind stays kept after the library took it, until the broker has
// acknowledged it (PUBACK): a broker that freezes holds up to ten messages
// in flight, and a dropped connection (clean session) loses them in the
// library. What a connection did not see acknowledged goes out again, in
// order, on the next one; the UI may then see a message twice, never miss it.
//
// Once a stop is requested (request_shutdown) nothing more is published:
// outbox_send drops every text and outbox_flush does nothing.
#pragma once

#include "mqtt/mqtt_link.h"

#include <cstddef>

enum class delivery {
    now_or_never,      // dropped when it cannot go out at once
    in_order,          // kept, in order; a repeat of the newest kept text is not kept twice
    latest_of_command, // kept; replaces what is still kept for the same command
};

enum class outbox_result {
    sent,    // published now (a kept kind stays kept until acknowledged)
    kept,    // the link is down or busy: published later
    dropped, // not published, and never will be
};

// Kept messages, whether out and awaiting their acknowledgement or not yet
// out; when full, the oldest goes first.
constexpr std::size_t OUTBOX_CAPACITY = 32;

// Publishes `text` on the response topic, or keeps it as `how` says. `cmd` is
// the command whose result the text is (latest_of_command only). Safe to call
// from any thread but the MQTT library's callback thread.
outbox_result outbox_send(const char *text, delivery how, int cmd = 0);

// Publishes what is kept and not yet out on the present connection, oldest
// first, while the link takes it.
void outbox_flush();

// The broker acknowledged `publication`. For the library's callback thread
// (the outbox hands it to the link with mqtt_on_acknowledgement): it only
// notes it (a short lock, no library call) and returns.
void outbox_acknowledged(mqtt_publication publication);

// A new bring-up begins (a vehicle was detected): the words of earlier
// bring-ups not yet acknowledged are no longer true and are forgotten, so
// the UI gets the latest bring-up's words, once each, in order.
void outbox_begin_bringup();

// Messages kept and not known to be acknowledged.
std::size_t outbox_size();

// Forgets everything kept (tests).
void outbox_clear();
