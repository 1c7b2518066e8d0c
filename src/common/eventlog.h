// Event-log helpers (pure).
#pragma once

// Event types as the event log knows them.
constexpr unsigned short TG_EVENT_ERROR = 1;
constexpr unsigned short TG_EVENT_WARNING = 2;
constexpr unsigned short TG_EVENT_INFORMATION = 4;

// Event ids of the message table.
constexpr unsigned long TG_MSG_SERVICE_STARTED = 0x4FFF0001UL;
constexpr unsigned long TG_MSG_SERVICE_STOPPED = 0x4FFF0002UL;
constexpr unsigned long TG_MSG_UPDATED = 0x4FFF00C8UL;
constexpr unsigned long TG_MSG_SIGS_UPDATED = 0x4FFF00C9UL;
constexpr unsigned long TG_MSG_SCAN_COMPLETED = 0x4FFF0190UL;
constexpr unsigned long TG_MSG_THREAT_DETECTED = 0x8FFF0064UL;
constexpr unsigned long TG_MSG_THREAT_QUARANTINED = 0x8FFF0065UL;
constexpr unsigned long TG_MSG_PROTECTION_PAUSED = 0xCFFF012DUL;

// The insertion strings passed with an event: those present, in order, the
// absent (null) ones skipped. Returns how many were stored in `out`.
int event_strings(const char* s1, const char* s2, const char* s3, const char* out[3]);
