// What diag-gateway-cli prints: tables for a person, one line per message
// for programs.
#pragma once

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The message on one line, white space outside strings dropped and
// everything else (numbers as the daemon printed them) kept.
std::string one_line_json(std::string_view payload);
// "2026-12-11 16:40:01.123", local time.
std::string local_time_text(std::chrono::system_clock::time_point when);

void print_state(FILE *out, const cJSON *state);
void print_codes(FILE *out, const cJSON *data);
void print_readiness(FILE *out, const cJSON *data);
void print_freeze_frame(FILE *out, const cJSON *data);

// Live values as a table: the header once (the keys of the first document),
// then one row per document.
std::vector<std::string> live_keys(const cJSON *data);
void print_live_header(FILE *out, const std::vector<std::string> &keys);
void print_live_row(FILE *out, const std::vector<std::string> &keys, const cJSON *data);
