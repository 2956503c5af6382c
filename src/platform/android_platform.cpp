#include <android/log.h>
#include <cutils/properties.h>
#include <string.h>

#include "platform/platform.h"

int platform_property_get(const char* key, char* value, size_t size, const char* default_value) {
    if (size == 0) return 0;
    char stored[PROPERTY_VALUE_MAX];
    property_get(key, stored, default_value);
    size_t length = strnlen(stored, sizeof stored - 1);
    if (length >= size) length = size - 1;
    memcpy(value, stored, length);
    value[length] = '\0';
    return static_cast<int>(length);
}

int platform_property_set(const char* key, const char* value) { return property_set(key, value) == 0 ? 0 : -1; }

void platform_log_write(int priority, const char* tag, const char* text) {
    __android_log_print(priority, tag, "%s", text);
}
