// The "ID" a type-1 command may carry, and the answers that echo it.
//
// An ID is a JSON string of 1 to 36 characters from A-Z a-z 0-9 . _ : -;
// any other "ID" counts as absent. Such characters need no escaping, so the
// ID goes into a text as it is. Answers to commands without an ID stay
// exactly as they are.
#pragma once

#include <string>
#include <string_view>

constexpr std::size_t COMMAND_ID_MAX = 36;

// The command's valid "ID" (case-sensitive key), or "" when it has none, the
// text is no JSON object, or the "ID" breaks the rule.
std::string command_id_of(const char *text);

bool valid_command_id(std::string_view id);

// `text` (a document or status packet of the daemon) with "ID" inserted:
// after "ERROR" in a status packet, after "CMD" in a document, and as the
// line `  "ID": "<id>",` after the `"CMD": n,` line of a formatted document.
// Unchanged when `id` is empty or the text has no "CMD" where expected.
std::string with_command_id(const std::string &text, const std::string &id);

// {"TYP":1,"CMD":cmd,"ERROR":error,"ID":id,"DATA":{"msg":word[,"why":why]}}
// for "ACK", "NAK" (with `why`) and "DONE".
std::string command_answer(int cmd, int error, const std::string &id, const char *word,
                           const char *why = nullptr);

// The reasons a command with an ID is refused.
constexpr const char *WHY_SUPERSEDED = "superseded";
constexpr const char *WHY_UNKNOWN = "unknown command";
constexpr const char *WHY_NO_ECU = "no ECU";
constexpr const char *WHY_TOO_LONG = "too long";
