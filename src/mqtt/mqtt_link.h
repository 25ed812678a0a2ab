// The MQTT link to the UI: connection details, the link state machine run by
// the link thread, and the one publish operation the OBD side uses.
#pragma once

#include <MQTTClient.h>

// Link states, as the link's state cell holds them (there is no 105 or 106).
enum mqtt_link_state : int {
    MQTT_INIT = 101,
    MQTT_CONNECT = 102,
    MQTT_RECONNECT = 103,
    MQTT_SUBSCRIBE = 104,
    MQTT_DISCONNECT = 107,
    MQTT_CONNECTED = 108,
};

constexpr int MQTT_PAYLOAD_SIZE = 4000; // bytes, terminator included
constexpr int MQTT_MAX_TOPICS = 50;

struct mqtt_details {
    const char *client_name;
    const char *broker_host;
    int port;
    int topic_count;
    const char *topics[MQTT_MAX_TOPICS];
    int qos[MQTT_MAX_TOPICS];
    int keep_alive;
    int clean_session;
};

extern const mqtt_details gMqttDetails;
// The same number as gMqttDetails.topic_count under another name, not a
// second count.
extern const int &topicCount;

// Thread entry: runs the link state machine until a shutdown is requested,
// then closes the MQTT session (DISCONNECT) and returns.
void *proto_intrnl_mqtt_main(void *arg);

// Ends the link thread's pauses at once (after request_shutdown()).
void mqtt_link_wake();

// Puts the link back to its start: state MQTT_INIT, retry counter 0. The
// thread entry calls it once; tests call it after MQTT_Disconnect().
void mqtt_link_begin();

// One pass of the link state machine (the thread loops over this, pausing
// after a failed pass). Only an MQTT_CONNECTED pass sleeps: up to 5 s, less
// when the connection is lost meanwhile.
void mqtt_link_pass();

void mqtt_change_state(int state);
int mqtt_get_state();

int mqtt_init();
int mqtt_connect();
int mqtt_subscriber_topics();
int MQTT_Disconnect();

// A message the library took: the token its acknowledgement will carry and
// the connection it went out on. Tokens count anew on every connection (clean
// session), and what was in flight on an earlier connection is gone.
struct mqtt_publication {
    MQTTClient_deliveryToken token = 0;
    unsigned connection = 0; // 0: none
};

// Publishes `text` (without its terminator) on topic-table slot `index`.
// Returns 1 when the library accepted it (and fills `taken`, when given), 0
// otherwise: no client or payload buffer yet, an empty slot, a null text, a
// text of MQTT_PAYLOAD_SIZE characters or more (refused with a message, never
// cut), the link thread busy (re)connecting, which fails at once like a
// disconnected client, or ten messages still unacknowledged. It never waits
// for the broker. Safe to call from any thread, but not from the library's
// callback thread.
int MQTT_Publish_Data(int index, const char *text, mqtt_publication *taken = nullptr);

// The present connection to the broker: 1 for the first successful connect,
// one more for each after it; 0 before the first.
unsigned mqtt_connection_number();

// Called with every acknowledgement the broker sends (PUBACK), on the
// library's callback thread: it must note it and return, never wait nor call
// into the library. The link does not know who keeps messages; the latest
// listener registered is the one called (nullptr: none). Any thread.
using mqtt_acknowledgement_listener = void (*)(mqtt_publication publication);
void mqtt_on_acknowledgement(mqtt_acknowledgement_listener listener);

// Callbacks registered with the library.
void MQTT_connectionLost(void *context, char *cause);
int MQTT_messageArrived(void *context, char *topicName, int topicLen, MQTTClient_message *message);
void MQTT_deliveryComplete(void *context, MQTTClient_deliveryToken token);
