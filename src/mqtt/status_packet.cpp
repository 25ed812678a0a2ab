#include "mqtt/status_packet.h"

#include "c_handles.h"

#include <cstdio>
#include <cstring>

int create_pkt_without_data(char *out, int typ, int cmd, int error, const char *word)
{
    if (!out) {
        std::puts("OBD2_ERROR: Output buffer is NULL");
        return 0;
    }
    json_ptr root(cJSON_CreateObject());
    if (!root) {
        std::puts("OBD2_ERROR: Failed to create JSON object");
        return 0;
    }
    cJSON_AddNumberToObject(root.get(), "TYP", typ);
    cJSON_AddNumberToObject(root.get(), "CMD", cmd);
    cJSON_AddNumberToObject(root.get(), "ERROR", error);

    cJSON *data = cJSON_CreateObject();
    if (!data) {
        std::puts("OBD2_ERROR: Failed to create DATA object");
        return 0;
    }
    if (word)
        cJSON_AddStringToObject(data, "msg", word);
    if (!cJSON_AddItemToObject(root.get(), "DATA", data))
        cJSON_Delete(data); // not attached, so not released with the document

    json_text_ptr text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        std::puts("OBD2_ERROR: Failed to print JSON string");
        return 0;
    }
    std::strcpy(out, text.get());
    return 1;
}

int publish_status(const char *word, int error, delivery how)
{
    char packet[STATUS_PACKET_SIZE] = {};
    if (create_pkt_without_data(packet, 1, 0, error, word) == 0)
        return 0;
    return outbox_send(packet, how) == outbox_result::dropped ? 0 : 1;
}
