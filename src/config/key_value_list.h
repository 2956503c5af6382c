// The parsed configuration: a singly linked list of key/value pairs under a
// mutex, with lookups that fall back to the caller's default.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

struct KeyValueItem {
    char* key;
    char* value;
};

struct KeyValueNode {
    KeyValueNode* next;
    void* item;
};

// One place of the look-up index: the key's hash is kept beside the item so
// that a probe reads the item only when the hashes agree.
struct KeyValueSlot {
    uint32_t hash;
    KeyValueItem* item;  // null: free
};

// The list is the order and the ownership; the hash index beside it only
// finds an item by its key, so that loading a file of many keys costs one
// step per line and not one walk of the list per line. Items are added and
// changed through kv_set alone, which keeps the two in step.
struct KeyValueList {
    pthread_mutex_t lock;
    char* source;
    KeyValueNode* head;
    // Open addressing over the items; null when it could not be allocated,
    // and then lookups walk the list.
    KeyValueSlot* index;
    size_t index_slots;  // a power of two, more than twice item_count; 0 without an index
    size_t item_count;
    uint32_t hash_seed;  // differs per list, so colliding keys cannot be prepared in a file
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
