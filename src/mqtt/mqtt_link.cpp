#include "mqtt/mqtt_link.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "mqtt/outbox.h"
#include "mqtt/ui_state_document.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <mutex>
#include <new>
#include <string>
#include <thread>

const mqtt_details gMqttDetails = {
    "mqtt_internal_broker",
    "127.0.0.1",
    1883,
    2,
    {"dt/app_to_ui/resp", "dt/ui_to_app/cmd"},
    {1, 1},
    20,
    1,
};

const int &topicCount = gMqttDetails.topic_count;

namespace {

// Touched only by the link thread.
MQTTClient_connectOptions gMQTTConnOpts = MQTTClient_connectOptions_initializer;
// The broker announces a daemon gone without a word (killed, power cut,
// network lost) on the state topic once the keep-alive runs out.
MQTTClient_willOptions gMQTTWill = MQTTClient_willOptions_initializer;

// ---- state shared with the OBD thread (publisher) ----------------------------------
// link_mutex guards the payload buffer, the message record, the token and
// link_busy, and every store into hMqttClient. The link thread makes its
// blocking library calls (connect, subscribe, disconnect, destroy) with the
// mutex released but link_busy set: a publisher that finds link_busy fails at
// once instead of waiting out a connect time-out, so no two of our threads
// are ever inside the library at the same time.
//
// While link_mutex is held, the only library calls made are the ones of a
// publication (MQTTClient_getPendingDeliveryTokens, MQTTClient_publishMessage),
// which never wait for the library's callback thread: the in-flight window is
// checked first (see MQTT_Publish_Data). The callback thread never takes
// link_mutex, so whatever it waits for, it is never this.
std::atomic<MQTTClient> hMqttClient{nullptr}; // atomic: the lost-connection callback reads it
MQTTClient_message gMQTTPublishMsg = MQTTClient_message_initializer;
MQTTClient_deliveryToken gToken = 0;
std::atomic<int> giMQTTState{0};

using namespace std::chrono_literals;

constexpr auto CONNECTED_PAUSE = 5s;
// With `reliable` 0 the synchronous client keeps up to 10 QoS 1 messages in
// flight (MQTTClient.h, MQTTClient_connectOptions.reliable); a publication
// beyond that would wait inside the library until an acknowledgement came.
constexpr int MAX_MESSAGES_IN_FLIGHT = 10;
constexpr auto FAILED_PASS_PAUSE = 1s;
constexpr int COMMAND_TOPIC = 1; // topic-table slot
constexpr int MQTT_REFUSED = 0x80; // granted QoS of a refused subscription
constexpr int DISCONNECT_TIMEOUT_MS = 100;

// A broker that stops answering (frozen, its host overloaded) keeps the TCP
// connection open; the library notices only through its keep-alive, up to two
// keep-alive periods after the last answer. The daemon publishes every few
// seconds, so a publication left unacknowledged for one keep-alive period
// tells sooner: the link is dropped and connected anew (about 20-26 s after
// the broker stopped; see README).
constexpr auto ACKNOWLEDGEMENT_LIMIT = std::chrono::seconds(20); // the keep-alive
// While something is in flight the connected pass looks that often.
constexpr auto STALL_CHECK_INTERVAL = 1s;

using steady = std::chrono::steady_clock;

std::mutex link_mutex;
std::unique_ptr<char[]> payload_buffer; // guarded by link_mutex
bool link_busy = false;                 // guarded by link_mutex
// Since when the oldest unacknowledged publication waits, as far as known:
// the publication that found nothing in flight, or the latest PUBACK (noted
// on the callback thread, which must not take link_mutex: atomics).
std::atomic<steady::rep> first_unacked_publication{0};
std::atomic<steady::rep> latest_acknowledgement{0};

std::uint8_t retry_counter = 0; // link thread only

// The retained state's publication; link thread only.
constexpr steady::duration STATE_MIN_INTERVAL = 200ms; // at most five documents a second
constexpr steady::duration NOTHING_DUE = steady::duration::max();
std::uint64_t state_published_version = 0;
bool state_owed = false; // a new connection owes the broker the present state
steady::time_point last_state_publication{};

// Counts successful connects. Bumped while link_busy still holds publishers
// off, so nothing goes out on a new connection under the old number.
std::atomic<unsigned> connection_number{0};

// Lets a lost connection end the connected pause early. The callback thread
// takes it (mqtt_change_state) only to wake the pause.
std::mutex pause_mutex;
std::condition_variable pause_cv;

// Marks the link thread as inside the library for the lifetime of the object.
class library_call_scope {
public:
    library_call_scope() { set(true); }
    ~library_call_scope() { set(false); }
    library_call_scope(const library_call_scope &) = delete;
    library_call_scope &operator=(const library_call_scope &) = delete;

private:
    static void set(bool busy)
    {
        std::lock_guard lock(link_mutex);
        link_busy = busy;
    }
};

void store_client(MQTTClient client)
{
    std::lock_guard lock(link_mutex);
    hMqttClient.store(client);
}

void destroy_client()
{
    MQTTClient client = hMqttClient.load();
    if (!client)
        return;
    {
        library_call_scope busy;
        store_client(nullptr);
        MQTTClient_destroy(&client);
    }
    std::puts("INTR_MQTT_ERROR : MQTT Handle distroied...");
}

bool renew_payload_buffer()
{
    std::lock_guard lock(link_mutex);
    payload_buffer.reset();
    payload_buffer.reset(new (std::nothrow) char[MQTT_PAYLOAD_SIZE]);
    gMQTTPublishMsg.payload = payload_buffer.get();
    return payload_buffer != nullptr;
}

void release_payload_buffer()
{
    {
        std::lock_guard lock(link_mutex);
        if (!payload_buffer)
            return;
        payload_buffer.reset();
        gMQTTPublishMsg.payload = nullptr;
    }
    std::puts("INTR_MQTT_INFO : Payload buffer free");
}

// A pass's own transition takes effect only while the cell still holds the
// state the pass acted on: a lost connection reported meanwhile (103) wins.
void move_state(int from, int to)
{
    giMQTTState.compare_exchange_strong(from, to);
}

void init_pass()
{
    if (mqtt_init() == 1) {
        mqtt_change_state(MQTT_CONNECT); // no connection yet, so no loss to keep
        return;
    }
    std::puts("INTR_MQTT_ERROR : MQTT_INIT failed.");
}

void connect_pass()
{
    if (mqtt_connect() == 1) {
        move_state(MQTT_CONNECT, MQTT_SUBSCRIBE);
        return;
    }
    std::puts("INTR_MQTT_ERROR : MQTT_CONNECT failed.");
    move_state(MQTT_CONNECT, MQTT_RECONNECT);
}

// Retries add up over the life of the link; only the reset clears them.
void reconnect_pass()
{
    if (retry_counter > 9) {
        std::puts("INTR_MQTT_ERROR : MQTT_RECONNECT Failed.");
        move_state(MQTT_RECONNECT, MQTT_DISCONNECT);
        retry_counter = 0;
        return;
    }
    move_state(MQTT_RECONNECT, MQTT_CONNECT);
    std::printf("INTR_MQTT_INFO : Retrying to connect - [%d]\n", retry_counter + 1);
    ++retry_counter;
}

void subscribe_pass()
{
    if (mqtt_subscriber_topics() == 1) {
        state_owed = true;
        move_state(MQTT_SUBSCRIBE, MQTT_CONNECTED);
        return;
    }
    std::puts("INTR_MQTT_ERROR : MQTT_SUBSCRIBE failed.");
}

void disconnect_pass()
{
    if (MQTT_Disconnect() == 1) {
        // The client is gone: a loss reported during the tear-down is moot.
        mqtt_change_state(MQTT_INIT);
        return;
    }
    std::puts("INTR_MQTT_ERROR : MQTT_DISCONNECT failed.");
}

// The library offers no TCP_NODELAY option. Without it, an answer written
// right after a small packet (the acknowledgement of a command, say) waits
// for that packet's ACK, which the broker's kernel delays by up to 40 ms.
// The daemon's only stream socket is the broker connection.
void send_small_packets_at_once()
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (const dirent *entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        int type = 0, domain = 0;
        socklen_t len = sizeof type;
        if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
            continue;
        len = sizeof domain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 ||
            (domain != AF_INET && domain != AF_INET6))
            continue;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    closedir(fds);
}

// Messages the library has not seen acknowledged yet.
int messages_in_flight(MQTTClient client)
{
    MQTTClient_deliveryToken *tokens = nullptr;
    if (MQTTClient_getPendingDeliveryTokens(client, &tokens) != MQTTCLIENT_SUCCESS || !tokens)
        return 0;
    int count = 0;
    while (tokens[count] != -1)
        ++count;
    MQTTClient_free(tokens);
    return count;
}

// The library's code for the publication, or MQTTCLIENT_DISCONNECTED /
// MQTTCLIENT_MAX_MESSAGES_INFLIGHT without calling it when it could not go
// out at once. link_mutex held.
int publish_without_waiting(const char *topic, mqtt_publication *taken)
{
    MQTTClient client = hMqttClient.load();
    // While the link thread is inside the library (connecting, subscribing,
    // tearing down) the client counts as disconnected.
    if (link_busy || !client)
        return MQTTCLIENT_DISCONNECTED;
    const int in_flight = messages_in_flight(client);
    if (in_flight >= MAX_MESSAGES_IN_FLIGHT)
        return MQTTCLIENT_MAX_MESSAGES_INFLIGHT;
    const int rc = MQTTClient_publishMessage(client, topic, &gMQTTPublishMsg, &gToken);
    if (rc == MQTTCLIENT_SUCCESS && in_flight == 0)
        first_unacked_publication = steady::now().time_since_epoch().count();
    if (rc == MQTTCLIENT_SUCCESS && taken)
        *taken = mqtt_publication{gToken, connection_number.load()};
    return rc;
}

// The one publication path: `text` on `topic`. link_mutex taken here.
int publish_text(const char *topic, int qos, bool retained, const char *text, mqtt_publication *taken)
{
    std::lock_guard lock(link_mutex);
    if (!payload_buffer)
        return 0;
    const std::size_t length = std::strlen(text);
    if (length >= static_cast<std::size_t>(MQTT_PAYLOAD_SIZE)) {
        std::printf("INTR_MQTT_ERROR : Text of %zu characters does not fit the %d-byte payload "
                    "buffer, not sent\n",
                    length, MQTT_PAYLOAD_SIZE);
        return 0;
    }
    std::memcpy(payload_buffer.get(), text, length + 1);
    gMQTTPublishMsg.payload = payload_buffer.get();
    gMQTTPublishMsg.payloadlen = static_cast<int>(length);
    gMQTTPublishMsg.qos = qos;
    gMQTTPublishMsg.retained = retained ? 1 : 0;
    std::printf("INTER_MQTT_INFO :::: Payload [%s] Len[%d]\n", payload_buffer.get(),
                gMQTTPublishMsg.payloadlen);

    const int rc = publish_without_waiting(topic, taken);
    if (rc != MQTTCLIENT_SUCCESS) {
        std::printf("INTR_MQTT_ERROR : Fail to send the data [%d]\n", rc);
        return 0;
    }
    return 1;
}

// Publications still waiting for their acknowledgement; taken under
// link_mutex like every library call of a publisher.
int messages_waiting(MQTTClient client)
{
    std::lock_guard lock(link_mutex);
    return messages_in_flight(client);
}

// True when `waiting` publications have waited for their acknowledgement
// longer than the broker may take.
bool broker_stalled(int waiting)
{
    if (waiting == 0)
        return false;
    const steady::duration since(std::max(first_unacked_publication.load(), latest_acknowledgement.load()));
    return steady::now().time_since_epoch() - since >= ACKNOWLEDGEMENT_LIMIT;
}

// The broker no longer answers: drop the connection and connect anew. The
// library's own disconnect would wait for the broker; with a time-out of 0
// it just closes.
void drop_stalled_link(MQTTClient client)
{
    std::printf("INTR_MQTT_ERROR : Broker has not acknowledged for %d s, dropping the connection\n",
                static_cast<int>(ACKNOWLEDGEMENT_LIMIT.count()));
    {
        library_call_scope busy;
        MQTTClient_disconnect(client, 0);
    }
    move_state(MQTT_CONNECTED, MQTT_RECONNECT);
}

// ---- the retained state (link thread only) -------------------------------------------
// The link thread publishes it: it owns the (re)connection after which the
// broker must get it, and it never runs on the library's callback thread.


// Publishes the state document when it changed or a new connection owes it,
// and the previous one went out at least STATE_MIN_INTERVAL ago. How long
// until it should be tried again; NOTHING_DUE when nothing is owed.
steady::duration publish_state_when_due()
{
    const ui_state state = ui_state_snapshot();
    if ((!state_owed && state.version == state_published_version) || shutdown_requested())
        return NOTHING_DUE;
    const steady::duration since = steady::now() - last_state_publication;
    if (since < STATE_MIN_INTERVAL)
        return STATE_MIN_INTERVAL - since;
    const std::string document = ui_state_document(state);
    if (document.empty() || publish_text(UI_STATE_TOPIC, 1, true, document.c_str(), nullptr) != 1)
        return STATE_MIN_INTERVAL; // the in-flight window is full, say: tried again
    last_state_publication = steady::now();
    state_published_version = state.version;
    state_owed = false;
    return NOTHING_DUE;
}

// The one message a stop still sends: a UI must not take the retained state
// of a daemon that is gone for the present one. The broker has it before
// the DISCONNECT that follows (one connection, in order).
void announce_offline()
{
    if (giMQTTState.load() != MQTT_CONNECTED)
        return;
    if (publish_text(UI_STATE_TOPIC, 1, true, UI_STATE_OFFLINE, nullptr) != 1)
        std::puts("INTR_MQTT_ERROR : Offline state not published");
}

void connected_pass()
{
    MQTTClient client = hMqttClient.load();
    const int waiting = client ? messages_waiting(client) : 0;
    if (broker_stalled(waiting)) {
        drop_stalled_link(client);
        return;
    }
    const std::uint64_t seen_state = ui_state_version();
    const steady::duration state_due = publish_state_when_due();
    const steady::duration pause =
        std::min<steady::duration>(waiting > 0 ? STALL_CHECK_INTERVAL : CONNECTED_PAUSE, state_due);
    std::unique_lock lock(pause_mutex);
    pause_cv.wait_for(lock, pause, [seen_state] {
        return giMQTTState.load() != MQTT_CONNECTED || shutdown_requested() || ui_state_version() != seen_state;
    });
}

// Refused connects on loopback fail at once; without a pause a missing
// broker would make the thread spin and flood the log.
bool pass_failed(int before, int after)
{
    return after == MQTT_RECONNECT || (after == before && before != MQTT_CONNECTED);
}

} // namespace

void mqtt_change_state(int state)
{
    giMQTTState.store(state);
    { std::lock_guard lock(pause_mutex); } // a connected pass between its check and its wait still wakes
    pause_cv.notify_all();
}

int mqtt_get_state() { return giMQTTState.load(); }

unsigned mqtt_connection_number() { return connection_number.load(); }

void mqtt_link_begin()
{
    retry_counter = 0;
    mqtt_change_state(MQTT_INIT);
}

void mqtt_link_pass()
{
    switch (giMQTTState.load()) {
    case MQTT_INIT: init_pass(); break;
    case MQTT_CONNECT: connect_pass(); break;
    case MQTT_RECONNECT: reconnect_pass(); break;
    case MQTT_SUBSCRIBE: subscribe_pass(); break;
    case MQTT_DISCONNECT: disconnect_pass(); break;
    case MQTT_CONNECTED: connected_pass(); break;
    default: break;
    }
}

// Progress is marked at every pass. The longest legitimate pass is a connect
// to a broker that does not answer: the library waits out its 30 s connect
// time-out and may take up to 10 s more to stop its receiving thread; a
// subscribe waits up to the library's 10 s command time-out, a connected
// pass 5 s, and a failed pass adds its 1 s pause. 60 s covers all of it with
// room to spare.
constexpr auto MQTT_PROGRESS_BOUND = std::chrono::seconds(60);

void *proto_intrnl_mqtt_main(void * /*arg*/)
{
    set_ui_state_listener(mqtt_link_wake);
    mqtt_link_begin();
    while (!shutdown_requested()) {
        mark_progress(worker::mqtt_link, MQTT_PROGRESS_BOUND);
        const int before = mqtt_get_state();
        mqtt_link_pass();
        if (pass_failed(before, mqtt_get_state())) {
            std::unique_lock lock(pause_mutex);
            pause_cv.wait_for(lock, FAILED_PASS_PAUSE, [] { return shutdown_requested(); });
        }
    }
    announce_offline();
    // The broker is told (DISCONNECT), so it drops the session at once.
    MQTT_Disconnect();
    return nullptr;
}

void mqtt_link_wake()
{
    { std::lock_guard lock(pause_mutex); } // a pass between its check and its wait still wakes
    pause_cv.notify_all();
}

int mqtt_init()
{
    destroy_client(); // never left over in practice; a second client must not leak the first
    const std::string address = platform_broker_address();
    MQTTClient client = nullptr;
    int rc;
    {
        library_call_scope busy;
        rc = MQTTClient_create(&client, address.c_str(), gMqttDetails.client_name,
                               MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        std::printf("INTR_MQTT_ERROR : Failed to create MQTT Client [%d] \n", rc);
        // Registering callbacks on no client fails the way the library
        // fails it for a null handle; it is reported, not attempted.
        std::printf("INTR_MQTT_ERROR : Failed to set MQTT Callback [%d] \n", MQTTCLIENT_FAILURE);
        std::printf("INTR_MQTT_INFO : --------------------------------- [%d] \n", 0);
        return 0;
    }
    store_client(client);
    {
        library_call_scope busy;
        rc = MQTTClient_setCallbacks(client, client, MQTT_connectionLost, MQTT_messageArrived,
                                     MQTT_deliveryComplete);
    }
    const int result = rc == MQTTCLIENT_SUCCESS ? 1 : 0;
    if (result == 0) {
        std::printf("INTR_MQTT_ERROR : Failed to set MQTT Callback [%d] \n", rc);
        destroy_client(); // the next pass creates a fresh one
    }
    std::printf("INTR_MQTT_INFO : --------------------------------- [%d] \n", result);
    return result;
}

int mqtt_connect()
{
    gMQTTConnOpts.keepAliveInterval = gMqttDetails.keep_alive;
    gMQTTConnOpts.cleansession = gMqttDetails.clean_session;
    // One message in flight (reliable 1) would make every publication wait
    // for the previous one's acknowledgement, which only the library's
    // callback thread processes: a blocked callback thread stops everything.
    gMQTTConnOpts.reliable = 0;
    gMQTTWill.topicName = UI_STATE_TOPIC;
    gMQTTWill.message = UI_STATE_OFFLINE;
    gMQTTWill.retained = 1;
    gMQTTWill.qos = 1;
    gMQTTConnOpts.will = &gMQTTWill;

    int result = 1;
    int rc = MQTTCLIENT_FAILURE;
    if (MQTTClient client = hMqttClient.load()) {
        library_call_scope busy;
        rc = MQTTClient_connect(client, &gMQTTConnOpts);
        if (rc == MQTTCLIENT_SUCCESS)
            ++connection_number;
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        std::printf("INTR_MQTT_ERROR : Failed to connect [%d]\n", rc);
        result = 0;
    } else {
        send_small_packets_at_once();
        first_unacked_publication = latest_acknowledgement = steady::now().time_since_epoch().count();
    }
    if (!renew_payload_buffer()) {
        std::puts("INTR_MQTT_ERROR : MQTT connection error.");
        result = 0;
    }
    return result;
}

int mqtt_subscriber_topics()
{
    std::printf("topic list : %s\n", gMqttDetails.topics[0]);
    std::printf("topic list : %s\n", gMqttDetails.topics[1]);

    std::array<char *, MQTT_MAX_TOPICS> topics{};
    std::array<int, MQTT_MAX_TOPICS> qos{};
    for (int i = 0; i < gMqttDetails.topic_count; ++i) {
        topics[i] = const_cast<char *>(gMqttDetails.topics[i]); // the library does not write them
        qos[i] = gMqttDetails.qos[i];
    }
    int rc = MQTTCLIENT_FAILURE;
    if (MQTTClient client = hMqttClient.load()) {
        library_call_scope busy;
        rc = MQTTClient_subscribeMany(client, gMqttDetails.topic_count, topics.data(), qos.data());
    }
    // The broker refuses single topics through the granted QoS (0x80). Only
    // the command topic matters: on the response topic the daemon hears
    // nothing but its own answers. Failing the pass for it would subscribe
    // again every second, and every subscription replays a retained command.
    if (rc != MQTTCLIENT_SUCCESS || qos[COMMAND_TOPIC] == MQTT_REFUSED) {
        std::puts("INTR_MQTT_ERROR : Fail to Subscribe with topics");
        return 0;
    }
    for (int i = 0; i < gMqttDetails.topic_count; ++i) {
        if (qos[i] == MQTT_REFUSED)
            std::printf("INTR_MQTT_ERROR : Broker refused the subscription to %s, going on without it\n",
                        gMqttDetails.topics[i]);
    }
    std::puts("INTR_MQTT_INFO : successfully Subscribed topics");
    return 1;
}

int MQTT_Disconnect()
{
    std::array<char *, MQTT_MAX_TOPICS> topics{};
    for (int i = 0; i < gMqttDetails.topic_count; ++i)
        topics[i] = const_cast<char *>(gMqttDetails.topics[i]);

    // Unsubscribe before disconnecting: once the broker has acknowledged it,
    // the library's callback thread is not handing us a message, which the
    // clean-session disconnect would otherwise free under its feet.
    int result = 1;
    if (MQTTClient client = hMqttClient.load()) {
        library_call_scope busy;
        if (MQTTClient_isConnected(client) == 1) {
            if (MQTTClient_unsubscribeMany(client, gMqttDetails.topic_count, topics.data()) != 0) {
                std::puts("INTR_MQTT_ERROR : Fail to unsubscribe all topics ");
                result = 0;
            }
            if (MQTTClient_disconnect(client, DISCONNECT_TIMEOUT_MS) != 0) {
                std::puts("INTR_MQTT_ERROR : Fail to disconnect with MQTT Broker");
                result = 0;
            }
        } else {
            std::puts("INTR_MQTT_ERROR : Device not connected with Server");
        }
    } else {
        std::puts("INTR_MQTT_ERROR : Device not connected with Server");
    }
    destroy_client();
    release_payload_buffer();
    return result;
}

int MQTT_Publish_Data(int index, const char *text, mqtt_publication *taken)
{
    if (!text || index < 0 || index >= MQTT_MAX_TOPICS || !gMqttDetails.topics[index] ||
        gMqttDetails.topics[index][0] == '\0')
        return 0;
    return publish_text(gMqttDetails.topics[index], gMqttDetails.qos[index], false, text, taken);
}

// Runs on the library's thread: prints and moves the state, nothing else.
void MQTT_connectionLost(void *context, char *cause)
{
    const bool current = context != nullptr && context == hMqttClient.load();
    std::printf("%s -> Callback: connection lost [%s]\n", current ? "Client-1" : "Client-2",
                cause ? cause : "(null)");
    // A loss of a client already torn down says nothing about the current one.
    if (current)
        mqtt_change_state(MQTT_RECONNECT);
}

// The broker answers: the next unacknowledged publication waits from now,
// and the outbox may forget the message. Runs on the library's thread (or on
// a thread inside a library call): nothing here waits.
void MQTT_deliveryComplete(void * /*context*/, MQTTClient_deliveryToken token)
{
    latest_acknowledgement = steady::now().time_since_epoch().count();
    outbox_acknowledged(mqtt_publication{token, connection_number.load()});
}
