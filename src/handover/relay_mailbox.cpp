#include "handover/relay_mailbox.h"

#include "handover/thread_handover.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace {
// Taken by the MQTT library's callback thread (push): held only to copy a
// packet in or out, never across a GPIO call or anything that waits.
std::mutex queue_mutex;
std::condition_variable queue_cv;
std::deque<relay_packet> queue; // guarded by queue_mutex
} // namespace

bool relay_mailbox_push(std::string_view text)
{
    if (text.size() >= RELAY_PACKET_SIZE)
        return false;
    {
        std::lock_guard lock(queue_mutex);
        if (queue.size() >= RELAY_QUEUE_DEPTH)
            return false;
        relay_packet &slot = queue.emplace_back();
        std::memcpy(slot.data(), text.data(), text.size());
        slot[text.size()] = '\0';
    }
    queue_cv.notify_all();
    return true;
}

bool relay_mailbox_pop(relay_packet &out)
{
    std::lock_guard lock(queue_mutex);
    if (queue.empty())
        return false;
    out = queue.front();
    queue.pop_front();
    return true;
}

bool relay_mailbox_wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(queue_mutex);
    return queue_cv.wait_for(lock, timeout, [] { return !queue.empty() || shutdown_requested(); }) &&
           !queue.empty();
}

void relay_mailbox_wake()
{
    { std::lock_guard lock(queue_mutex); } // a waiter between its check and its wait still wakes
    queue_cv.notify_all();
}

std::size_t relay_mailbox_size()
{
    std::lock_guard lock(queue_mutex);
    return queue.size();
}

void relay_mailbox_clear()
{
    std::lock_guard lock(queue_mutex);
    queue.clear();
}
