#include "mqtt/outbox.h"

#include "handover/thread_handover.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

struct kept_message {
    std::string text;
    delivery how;
    int cmd;
    mqtt_publication out; // its latest publication; connection 0 while not yet out
};

// Taken by the OBD thread and by whoever flushes, never by the MQTT library's
// callback thread. Held across a publication, which never waits for the
// broker (MQTT_Publish_Data), so the order of what is kept and what is new
// is the order the UI sees.
std::mutex outbox_mutex;
std::deque<kept_message> kept; // guarded by outbox_mutex

// Acknowledgements noted by the library's callback thread and not yet
// matched with what is kept. The callback must never wait, so it only takes
// ack_mutex, under which no library call is made. An acknowledgement can
// come before its publisher has recorded the token; it waits here until the
// next outbox call matches it. At most ten messages are in flight, and every
// publication is preceded by a match, so the list stays short; should it
// fill, an acknowledgement is forgotten and its message goes out once more
// after the next reconnect.
constexpr std::size_t ACK_LIST_SIZE = 64;
std::mutex ack_mutex;
std::array<mqtt_publication, ACK_LIST_SIZE> acks; // guarded by ack_mutex
std::size_t ack_count = 0;                        // guarded by ack_mutex

// Drops what the broker acknowledged. outbox_mutex held.
void forget_acknowledged()
{
    std::array<mqtt_publication, ACK_LIST_SIZE> taken;
    std::size_t count;
    {
        std::lock_guard lock(ack_mutex);
        taken = acks;
        count = ack_count;
        ack_count = 0;
    }
    const auto end = taken.begin() + static_cast<std::ptrdiff_t>(count);
    std::erase_if(kept, [&](const kept_message &m) {
        return m.out.connection != 0 && std::any_of(taken.begin(), end, [&](const mqtt_publication &ack) {
                   return ack.token == m.out.token && ack.connection == m.out.connection;
               });
    });
}

// Out on the present connection and awaiting its acknowledgement there.
bool in_flight(const kept_message &m)
{
    return m.out.connection != 0 && m.out.connection == mqtt_connection_number();
}

bool publish(kept_message &m) { return MQTT_Publish_Data(0, m.text.c_str(), &m.out) == 1; }

// Publishes what is kept and not yet out on the present connection, oldest
// first; true when nothing is left to publish.
bool flush_locked()
{
    forget_acknowledged();
    for (kept_message &m : kept) {
        if (!in_flight(m) && !publish(m))
            return false;
    }
    return true;
}

// False when `text` repeats the newest kept word: a word repeated while
// nobody could hear it (not yet out, or unacknowledged) reaches the UI once.
bool keep(const char *text, delivery how, int cmd)
{
    if (how == delivery::in_order && !kept.empty() && kept.back().how == delivery::in_order &&
        kept.back().text == text)
        return false;
    if (how == delivery::latest_of_command) {
        std::erase_if(kept, [cmd](const kept_message &m) {
            return m.how == delivery::latest_of_command && m.cmd == cmd;
        });
    }
    if (kept.size() >= OUTBOX_CAPACITY) {
        std::printf("INTR_MQTT_ERROR : %zu messages kept for the UI, the oldest is dropped: %s\n",
                    kept.size(), kept.front().text.c_str());
        kept.pop_front();
    }
    kept.push_back(kept_message{text, how, cmd, {}});
    return true;
}

} // namespace

outbox_result outbox_send(const char *text, delivery how, int cmd)
{
    if (!text)
        return outbox_result::dropped;
    if (shutdown_requested()) {
        // Every exchange fails at once after a stop: what a pass concludes
        // from them (GOTPID with nothing supported, NORES, NOECU) is no news
        // for the UI, and neither is anything else from now on.
        std::printf("INTR_MQTT_INFO : Stopping, not published: %s\n", text);
        return outbox_result::dropped;
    }
    if (std::strlen(text) >= static_cast<std::size_t>(MQTT_PAYLOAD_SIZE)) {
        MQTT_Publish_Data(0, text); // refuses it with its own message
        return outbox_result::dropped;
    }
    std::lock_guard lock(outbox_mutex);
    const bool link_free = flush_locked();
    if (how == delivery::now_or_never)
        return link_free && MQTT_Publish_Data(0, text) == 1 ? outbox_result::sent : outbox_result::dropped;
    if (!keep(text, how, cmd))
        return outbox_result::kept;
    if (link_free && publish(kept.back()))
        return outbox_result::sent;
    std::printf("INTR_MQTT_INFO : Link not ready, kept for the UI: %s\n", text);
    return outbox_result::kept;
}

void outbox_flush()
{
    if (shutdown_requested())
        return;
    std::lock_guard lock(outbox_mutex);
    flush_locked();
}

void outbox_acknowledged(mqtt_publication publication)
{
    std::lock_guard lock(ack_mutex);
    if (ack_count < ACK_LIST_SIZE)
        acks[ack_count++] = publication;
}

std::size_t outbox_size()
{
    std::lock_guard lock(outbox_mutex);
    forget_acknowledged();
    return kept.size();
}

void outbox_clear()
{
    std::lock_guard lock(outbox_mutex);
    kept.clear();
    std::lock_guard acks_lock(ack_mutex);
    ack_count = 0;
}
