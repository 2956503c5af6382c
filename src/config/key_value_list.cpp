#include "config/key_value_list.h"

#include <stdlib.h>
#include <string.h>

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

// Returns the item of the key, or null; the caller holds the lock.
KeyValueItem* find_locked(KeyValueList* list, const char* key) {
    void* item = list_item_at(&list->head, list_find(&list->head, key, kv_key_compare));
    return item == list_no_item ? nullptr : static_cast<KeyValueItem*>(item);
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
        if (fresh == nullptr || fresh->key == nullptr || fresh->value == nullptr ||
            list_push_front(&list->head, fresh) != 0) {
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
