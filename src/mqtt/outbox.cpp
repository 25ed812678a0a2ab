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
    unsigned bringup;     // in_order: the bring-up whose word it is
    mqtt_publication out; // its latest publication; connection 0 while not yet out
};

// Taken by the OBD thread and by whoever flushes, never by the MQTT library's
// callback thread. Held across a publication, which never waits for the
// broker (MQTT_Publish_Data), so the order of what is kept and what is new
// is the order the UI sees.
std::mutex outbox_mutex;
std::deque<kept_message> kept; // guarded by outbox_mutex
unsigned bringup_number = 0;   // guarded by outbox_mutex
bool sending_stopped = false;  // guarded by outbox_mutex; the log says so once
// The newest kept word, when a flush has just published it late: a repeat of
// it handed in next, in the same pass (before the next outbox_flush), is the
// same news (a word repeated every second while the link was down went out
// once, late, and the pass that repeats it comes right after its flush).
// Guarded by outbox_mutex.
std::string late_word;

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

// Only a connected link is tried: a publication refused by a link that is
// down costs two log lines, and the outbox would try at every pass.
bool link_connected() { return mqtt_get_state() == MQTT_CONNECTED; }

// The log says when sending stops working and when it works again, not at
// every message or pass (the journal lives on flash). outbox_mutex held.
void note_sending(bool works)
{
    if (works == !sending_stopped)
        return;
    sending_stopped = !works;
    if (works)
        std::printf("INTR_MQTT_INFO : Sending to the UI works again, %zu kept message(s) going out\n", kept.size());
    else
        std::printf("INTR_MQTT_ERROR : Sending to the UI stopped working, %zu message(s) kept until the broker "
                    "takes them\n",
                    kept.size());
}

bool publish_text(const char *text, mqtt_publication *taken)
{
    if (!link_connected())
        return false;
    mqtt_on_acknowledgement(outbox_acknowledged);
    return MQTT_Publish_Data(0, text, taken) == 1;
}

bool publish(kept_message &m) { return publish_text(m.text.c_str(), &m.out); }

// Publishes what is kept and not yet out on the present connection, oldest
// first; true when nothing is left to publish.
bool flush_locked()
{
    forget_acknowledged();
    for (kept_message &m : kept) {
        if (in_flight(m))
            continue;
        if (!publish(m))
            return false;
        if (&m == &kept.back() && m.how == delivery::in_order)
            late_word = m.text;
    }
    return true;
}

// When full, the oldest status word goes; a command's result goes only for
// another result, never for a status word. False when `how` gets no room.
bool make_room(delivery how)
{
    if (kept.size() < OUTBOX_CAPACITY)
        return true;
    auto victim = std::find_if(kept.begin(), kept.end(),
                               [](const kept_message &m) { return m.how == delivery::in_order; });
    if (victim == kept.end() && how == delivery::in_order) {
        std::printf("INTR_MQTT_ERROR : %zu command results kept for the UI, a status word is dropped\n",
                    kept.size());
        return false;
    }
    if (victim == kept.end())
        victim = kept.begin();
    std::printf("INTR_MQTT_ERROR : %zu messages kept for the UI, the oldest %s is dropped: %s\n", kept.size(),
                victim->how == delivery::in_order ? "status word" : "result", victim->text.c_str());
    kept.erase(victim);
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
    if (!make_room(how))
        return false;
    kept.push_back(kept_message{text, how, cmd, bringup_number, {}});
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
    const bool repeats_late_word = how == delivery::in_order && late_word == text;
    late_word.clear();
    if (repeats_late_word)
        return outbox_result::kept;
    if (how == delivery::now_or_never) {
        const bool sent = link_free && publish_text(text, nullptr);
        note_sending(sent);
        return sent ? outbox_result::sent : outbox_result::dropped;
    }
    if (!keep(text, how, cmd))
        return outbox_result::kept;
    const bool sent = link_free && publish(kept.back());
    note_sending(sent);
    if (!sent) // once per message, not per pass: what the UI is owed
        std::printf("INTR_MQTT_INFO : Link not ready, kept for the UI: %s\n", text);
    return sent ? outbox_result::sent : outbox_result::kept;
}

void outbox_flush()
{
    if (shutdown_requested())
        return;
    std::lock_guard lock(outbox_mutex);
    late_word.clear(); // a new pass
    if (flush_locked() && link_connected())
        note_sending(true);
}

void outbox_begin_bringup()
{
    std::lock_guard lock(outbox_mutex);
    forget_acknowledged();
    ++bringup_number;
    late_word.clear();
    std::erase_if(kept, [](const kept_message &m) {
        return m.how == delivery::in_order && m.bringup != bringup_number;
    });
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
    sending_stopped = false;
    late_word.clear();
    std::lock_guard acks_lock(ack_mutex);
    ack_count = 0;
}
