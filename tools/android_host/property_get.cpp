// property_get and property_set for a Linux host build of the Android
// platform layer: Debian's libcutils has neither (there is no property
// service to ask), so these use the host layer's property file
// (ORLITH_PROPERTIES) through the host layer's own reader and writer, built
// into this library under other names.
#include <cutils/properties.h>
#include <stddef.h>

int host_property_get(const char* key, char* value, size_t size, const char* default_value);
int host_property_set(const char* key, const char* value);

// libcutils' contract: the value, or the default when the property is unset
// or empty, cut to PROPERTY_VALUE_MAX - 1 bytes; returns the stored length.
extern "C" int property_get(const char* key, char* value, const char* default_value) {
    return host_property_get(key, value, PROPERTY_VALUE_MAX, default_value);
}

// libcutils' contract: 0, or below 0 when the service refused it.
extern "C" int property_set(const char* key, const char* value) { return host_property_set(key, value); }
