#include "config/key_value_list.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// isspace() would depend on the locale and, with a signed char, on the sign
// of bytes from 128 up; the set is fixed here instead.
bool is_white(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            return true;
        default:
            return false;
    }
}

constexpr size_t first_index_slots = 16;

// FNV-1a, whose low bits (the ones that pick a slot) depend only on the low
// bits of the bytes, followed by a mix that brings the high bits down.
uint32_t key_hash(uint32_t seed, const char* key) {
    uint32_t hash = 2166136261u ^ seed;
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(key); *at != '\0'; ++at) {
        hash = (hash ^ *at) * 16777619u;
    }
    hash ^= hash >> 16;
    hash *= 0x85ebca6bu;
    hash ^= hash >> 13;
    hash *= 0xc2b2ae35u;
    hash ^= hash >> 16;
    return hash;
}

uint32_t fresh_seed(const KeyValueList* list) {
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uintptr_t address = reinterpret_cast<uintptr_t>(list);
    return static_cast<uint32_t>(address) ^ static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec);
}

// The slot that holds the key's item, or the free slot where it would go.
// The index is never more than half full, so a free slot always ends the
// probe.
KeyValueSlot* index_slot(KeyValueList* list, const char* key, uint32_t hash) {
    const size_t mask = list->index_slots - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        KeyValueSlot* slot = &list->index[at];
        if (slot->item == nullptr || (slot->hash == hash && strcmp(slot->item->key, key) == 0)) return slot;
    }
}

void index_put(KeyValueList* list, KeyValueItem* item) {
    const uint32_t hash = key_hash(list->hash_seed, item->key);
    KeyValueSlot* slot = index_slot(list, item->key, hash);
    slot->hash = hash;
    slot->item = item;
}

// Makes the index anew from the list, large enough for one more item. When
// that allocation fails the index is dropped: lookups are slower then, but
// no item is lost, and the next store tries again.
void rebuild_index(KeyValueList* list) {
    size_t slots = first_index_slots;
    while (slots <= (list->item_count + 1) * 2) slots *= 2;
    free(list->index);
    list->index = static_cast<KeyValueSlot*>(calloc(slots, sizeof *list->index));
    list->index_slots = list->index != nullptr ? slots : 0;
    if (list->index == nullptr) return;
    for (KeyValueNode* node = list->head; node != nullptr; node = node->next) {
        index_put(list, static_cast<KeyValueItem*>(node->item));
    }
}

// Returns the item of the key, or null; the caller holds the lock.
KeyValueItem* find_locked(KeyValueList* list, const char* key) {
    if (list->index != nullptr) return index_slot(list, key, key_hash(list->hash_seed, key))->item;
    void* item = list_item_at(&list->head, list_find(&list->head, key, kv_key_compare));
    return item == list_no_item ? nullptr : static_cast<KeyValueItem*>(item);
}

// Puts a new item first in the list and into the index; the caller holds
// the lock and has made sure the key is not there yet.
int add_locked(KeyValueList* list, KeyValueItem* item) {
    if (list->index == nullptr || (list->item_count + 1) * 2 >= list->index_slots) rebuild_index(list);
    if (list_push_front(&list->head, item) != 0) return -1;
    ++list->item_count;
    if (list->index != nullptr) index_put(list, item);
    return 0;
}

}  // namespace

void* list_item_at(KeyValueNode* const* head, int index) {
    if (index < 0) return list_no_item;
    for (KeyValueNode* node = *head; node != nullptr; node = node->next, --index) {
        if (index == 0) return node->item;
    }
    return list_no_item;
}

int list_index_of(KeyValueNode* const* head, const void* item) {
    int index = 0;
    for (KeyValueNode* node = *head; node != nullptr; node = node->next, ++index) {
        if (node->item == item) return index;
    }
    return -1;
}

int list_find(KeyValueNode* const* head, const void* probe, ListCompare compare) {
    if (compare == nullptr) return list_index_of(head, probe);
    int index = 0;
    for (KeyValueNode* node = *head; node != nullptr; node = node->next, ++index) {
        if (compare(probe, node->item) == 0) return index;
    }
    return -1;
}

int list_push_front(KeyValueNode** head, void* item) {
    KeyValueNode* node = static_cast<KeyValueNode*>(malloc(sizeof *node));
    if (node == nullptr) return -1;
    node->item = item;
    node->next = *head;
    *head = node;
    return 0;
}

void list_clear(KeyValueNode** head, ListRelease release) {
    while (KeyValueNode* node = *head) {
        *head = node->next;
        void* item = node->item;
        free(node);
        if (release != nullptr) release(item);
    }
}

void kv_item_free(void* item) {
    if (item == nullptr) return;
    KeyValueItem* entry = static_cast<KeyValueItem*>(item);
    free(entry->key);
    free(entry->value);
    entry->key = nullptr;
    entry->value = nullptr;
    free(entry);
}

int kv_key_compare(const void* probe_key, const void* item) {
    const KeyValueItem* entry = static_cast<const KeyValueItem*>(item);
    if (probe_key == nullptr || entry == nullptr || entry->key == nullptr) return -1;
    return strcmp(static_cast<const char*>(probe_key), entry->key);
}

KeyValueList* kv_list_create(const char* source) {
    KeyValueList* list = static_cast<KeyValueList*>(malloc(sizeof *list));
    if (list == nullptr) return nullptr;
    pthread_mutex_init(&list->lock, nullptr);
    list->source = source != nullptr ? strdup(source) : nullptr;
    list->head = nullptr;
    list->index = nullptr;
    list->index_slots = 0;
    list->item_count = 0;
    list->hash_seed = fresh_seed(list);
    if (list->source == nullptr) {
        kv_list_destroy(list);
        return nullptr;
    }
    return list;
}

void kv_list_destroy(KeyValueList* list) {
    if (list == nullptr) return;
    pthread_mutex_lock(&list->lock);
    list_clear(&list->head, kv_item_free);
    free(list->index);
    list->index = nullptr;
    list->index_slots = 0;
    list->item_count = 0;
    free(list->source);
    list->source = nullptr;
    pthread_mutex_unlock(&list->lock);
    pthread_mutex_destroy(&list->lock);
    free(list);
}

const char* kv_get(KeyValueList* list, const char* key, const char* default_value) {
    if (list == nullptr || key == nullptr) return default_value;
    pthread_mutex_lock(&list->lock);
    KeyValueItem* item = find_locked(list, key);
    pthread_mutex_unlock(&list->lock);
    return item != nullptr ? item->value : default_value;
}

int kv_set(KeyValueList* list, const char* key, const char* value) {
    if (list == nullptr || key == nullptr || value == nullptr) return -1;
    pthread_mutex_lock(&list->lock);
    int result = 0;
    if (KeyValueItem* item = find_locked(list, key)) {
        char* copy = strdup(value);
        if (copy == nullptr) {
            result = -1;
        } else {
            free(item->value);
            item->value = copy;
        }
    } else {
        KeyValueItem* fresh = static_cast<KeyValueItem*>(calloc(1, sizeof *fresh));
        if (fresh != nullptr) {
            fresh->key = strdup(key);
            fresh->value = strdup(value);
        }
        if (fresh == nullptr || fresh->key == nullptr || fresh->value == nullptr || add_locked(list, fresh) != 0) {
            kv_item_free(fresh);
            result = -1;
        }
    }
    pthread_mutex_unlock(&list->lock);
    return result;
}

char* trim_spaces(char* text) {
    if (text == nullptr || *text == '\0') return text;
    size_t end = strlen(text);
    while (end > 0 && is_white(text[end - 1])) --end;
    text[end] = '\0';
    size_t start = 0;
    while (start < end && is_white(text[start])) ++start;
    if (start > 0) memmove(text, text + start, end - start + 1);
    return text;
}
