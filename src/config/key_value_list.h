// The parsed configuration: a singly linked list of key/value pairs under a
// mutex, with lookups that fall back to the caller's default.
#pragma once

#include <pthread.h>
#include <stdint.h>

struct KeyValueItem {
    char* key;
    char* value;
};

struct KeyValueNode {
    KeyValueNode* next;
    void* item;
};

struct KeyValueList {
    pthread_mutex_t lock;
    char* source;
    KeyValueNode* head;
};

// What list_item_at gives for a position that is not in the list; null is a
// storable item, so it cannot mean "none".
inline void* const list_no_item = reinterpret_cast<void*>(~static_cast<uintptr_t>(0));

using ListCompare = int (*)(const void* probe, const void* item);
using ListRelease = void (*)(void* item);

void* list_item_at(KeyValueNode* const* head, int index);
int list_index_of(KeyValueNode* const* head, const void* item);
int list_find(KeyValueNode* const* head, const void* probe, ListCompare compare);
int list_push_front(KeyValueNode** head, void* item);
void list_clear(KeyValueNode** head, ListRelease release);

void kv_item_free(void* item);
int kv_key_compare(const void* probe_key, const void* item);

KeyValueList* kv_list_create(const char* source);
void kv_list_destroy(KeyValueList* list);
// The stored value (owned by the list, valid until replaced or destroyed),
// or default_value itself.
const char* kv_get(KeyValueList* list, const char* key, const char* default_value);
int kv_set(KeyValueList* list, const char* key, const char* value);

// Trims POSIX-locale white space from both ends in place; bytes from 128 up
// are never white space. Returns text (null for null).
char* trim_spaces(char* text);
