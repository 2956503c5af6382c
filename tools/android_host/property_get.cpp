// property_get for a Linux host build of the Android platform layer: Debian's
// libcutils has no property_get (there is no property service to ask), so
// this answers from the host layer's property file (ORLITH_PROPERTIES) with
// the host layer's own reader, built into this library under another name.
#include <cutils/properties.h>
#include <stddef.h>

int host_property_get(const char* key, char* value, size_t size, const char* default_value);

// libcutils' contract: the value, or the default when the property is unset
// or empty, cut to PROPERTY_VALUE_MAX - 1 bytes; returns the stored length.
extern "C" int property_get(const char* key, char* value, const char* default_value) {
    return host_property_get(key, value, PROPERTY_VALUE_MAX, default_value);
}
