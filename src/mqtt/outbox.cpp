#include "mqtt/outbox.h"

#include "handover/thread_handover.h"
#include "mqtt/mqtt_link.h"

#include <algorithm>
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
};

// Taken by the OBD thread and by whoever flushes, never by the MQTT library's
// callback thread. Held across a publication, which never waits for the
// broker (MQTT_Publish_Data), so the order of what is kept and what is new
// is the order the UI sees.
std::mutex outbox_mutex;
std::deque<kept_message> kept; // guarded by outbox_mutex

// Publishes kept messages, oldest first; true when none is left.
bool flush_locked()
{
    while (!kept.empty()) {
        if (MQTT_Publish_Data(0, kept.front().text.c_str()) != 1)
            return false;
        kept.pop_front();
    }
    return true;
}

void keep(const char *text, delivery how, int cmd)
{
    if (how == delivery::in_order && !kept.empty() && kept.back().how == delivery::in_order &&
        kept.back().text == text)
        return; // a word repeated while nobody could hear it reaches the UI once
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
    kept.push_back(kept_message{text, how, cmd});
    std::printf("INTR_MQTT_INFO : Link not ready, kept for the UI: %s\n", text);
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
    if (flush_locked() && MQTT_Publish_Data(0, text) == 1)
        return outbox_result::sent;
    if (how == delivery::now_or_never)
        return outbox_result::dropped;
    keep(text, how, cmd);
    return outbox_result::kept;
}

void outbox_flush()
{
    if (shutdown_requested())
        return;
    std::lock_guard lock(outbox_mutex);
    flush_locked();
}

std::size_t outbox_size()
{
    std::lock_guard lock(outbox_mutex);
    return kept.size();
}

void outbox_clear()
{
    std::lock_guard lock(outbox_mutex);
    kept.clear();
}
