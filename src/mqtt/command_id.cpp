#include "mqtt/command_id.h"

#include "c_handles.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool id_character(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == ':' || c == '-';
}

// Position just past `key` followed by a decimal number and `separator`, or
// npos.
std::size_t after_number_member(const std::string &text, std::size_t from, std::string_view key,
                                std::string_view separator)
{
    if (text.compare(from, key.size(), key) != 0)
        return std::string::npos;
    std::size_t p = from + key.size();
    const std::size_t digits = p;
    while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])))
        ++p;
    if (p == digits || text.compare(p, separator.size(), separator) != 0)
        return std::string::npos;
    return p + separator.size();
}

// A compact document: {"TYP":1,"CMD":n, then "ERROR":e, in a status packet.
std::string insert_compact(const std::string &text, const std::string &id)
{
    const std::size_t cmd = text.find("\"CMD\":");
    std::size_t at = cmd == std::string::npos ? cmd : after_number_member(text, cmd, "\"CMD\":", ",");
    if (at == std::string::npos)
        return text;
    if (const std::size_t error = after_number_member(text, at, "\"ERROR\":", ","); error != std::string::npos)
        at = error;
    return text.substr(0, at) + "\"ID\":\"" + id + "\"," + text.substr(at);
}

// The formatted live document: the line after `  "CMD": n,`.
std::string insert_formatted(const std::string &text, const std::string &id)
{
    const std::size_t cmd = text.find("\n  \"CMD\": ");
    if (cmd == std::string::npos)
        return text;
    const std::size_t at = after_number_member(text, cmd + 3, "\"CMD\": ", ",\n");
    if (at == std::string::npos)
        return text;
    return text.substr(0, at) + "  \"ID\": \"" + id + "\",\n" + text.substr(at);
}

} // namespace

bool valid_command_id(std::string_view id)
{
    return !id.empty() && id.size() <= COMMAND_ID_MAX && std::all_of(id.begin(), id.end(), id_character);
}

std::string command_id_of(const char *text)
{
    json_ptr root(text ? cJSON_Parse(text) : nullptr);
    const cJSON *id = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "ID") : nullptr;
    if (!cJSON_IsString(id) || !id->valuestring || !valid_command_id(id->valuestring))
        return {};
    return id->valuestring;
}

std::string with_command_id(const std::string &text, const std::string &id)
{
    if (id.empty())
        return text;
    return text.find("{\n") == 0 ? insert_formatted(text, id) : insert_compact(text, id);
}

std::string command_answer(int cmd, int error, const std::string &id, const char *word, const char *why)
{
    std::string text = "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + ",\"ERROR\":" + std::to_string(error) +
                       ",\"ID\":\"" + id + "\",\"DATA\":{\"msg\":\"" + word + "\"";
    if (why)
        text += std::string(",\"why\":\"") + why + "\"";
    return text + "}}";
}
