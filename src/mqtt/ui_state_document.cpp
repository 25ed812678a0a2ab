#include "mqtt/ui_state_document.h"

#include "c_handles.h"

#include <cstdio>

namespace {

const char *config_word(config_state config)
{
    switch (config) {
    case config_state::ok: return "ok";
    case config_state::restored: return "restored";
    case config_state::invalid: return "invalid";
    }
    return "invalid";
}

cJSON *vehicle_object(const ui_state &state)
{
    if (!state.vehicle_known)
        return cJSON_CreateNull();
    cJSON *ecu = cJSON_CreateObject();
    cJSON_AddStringToObject(ecu, "ADDR", state.vehicle.addr.c_str());
    cJSON_AddStringToObject(ecu, "PROTO", state.vehicle.proto.c_str());
    cJSON_AddStringToObject(ecu, "VIN", state.vehicle.vin.c_str());
    return ecu;
}

cJSON *relays_object(std::uint32_t lines)
{
    cJSON *relays = cJSON_CreateObject();
    for (int relay = 0; relay < UI_STATE_RELAYS; ++relay) {
        char name[8];
        std::snprintf(name, sizeof name, "DO%d", relay);
        cJSON_AddNumberToObject(relays, name, (lines >> relay) & 1u);
    }
    return relays;
}

} // namespace

std::string ui_state_document(const ui_state &state)
{
    json_ptr root(cJSON_CreateObject());
    if (!root)
        return {};
    cJSON_AddNumberToObject(root.get(), "ONLINE", 1);
    cJSON_AddStringToObject(root.get(), "LINK", state.link_up ? "up" : "down");
    cJSON_AddItemToObject(root.get(), "ECU", vehicle_object(state));
    cJSON_AddStringToObject(root.get(), "CONFIG", config_word(state.config));
    cJSON_AddNumberToObject(root.get(), "BUSY", state.busy);
    cJSON_AddItemToObject(root.get(), "RELAYS", relays_object(state.relays));
    json_text_ptr text(cJSON_PrintUnformatted(root.get()));
    return text ? std::string(text.get()) : std::string();
}
