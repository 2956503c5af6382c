// The two services the daemon takes from the system: properties and the log.
// On Android they are libcutils and liblog; a Linux host gets a property file
// and the system log (see the README for ORLITH_PROPERTIES and ORLITH_LOG).
#pragma once

#include <stddef.h>

// Log priorities, as Android numbers them.
constexpr int log_priority_debug = 3;
constexpr int log_priority_error = 6;

// Copies the property's value, or default_value when it is unset or empty,
// into value (at most size - 1 bytes and a NUL). Returns the stored length.
int platform_property_get(const char* key, char* value, size_t size, const char* default_value);

// Sets the property; 0, or -1 when the property service refused it.
int platform_property_set(const char* key, const char* value);

// Writes one record of already formatted text; failures are ignored.
void platform_log_write(int priority, const char* tag, const char* text);
