#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "config/key_value_list.h"

namespace {

struct ListFixture : ::testing::Test {
    KeyValueList* list = kv_list_create("/some/orlith.conf");
    ~ListFixture() override { kv_list_destroy(list); }
};

TEST_F(ListFixture, MissingKeyGivesTheVeryDefaultPointer) {
    const char* fallback = "fallback";
    EXPECT_EQ(kv_get(list, "absent", fallback), fallback);
    EXPECT_EQ(kv_get(nullptr, "absent", fallback), fallback);
    EXPECT_EQ(kv_get(list, nullptr, fallback), fallback);
    EXPECT_STREQ(list->source, "/some/orlith.conf");
}

TEST_F(ListFixture, ResettingKeepsOneItemInFirstSetOrder) {
    ASSERT_EQ(kv_set(list, "A", "1"), 0);
    ASSERT_EQ(kv_set(list, "B", "2"), 0);
    ASSERT_EQ(kv_set(list, "A", "3"), 0);
    EXPECT_STREQ(kv_get(list, "A", nullptr), "3");
    auto* first = static_cast<KeyValueItem*>(list_item_at(&list->head, 0));
    auto* second = static_cast<KeyValueItem*>(list_item_at(&list->head, 1));
    EXPECT_STREQ(first->key, "B");
    EXPECT_STREQ(second->key, "A");
    EXPECT_EQ(list_item_at(&list->head, 2), list_no_item);
}

// Enough keys for the look-up index to grow several times over.
TEST_F(ListFixture, ManyKeysKeepOneItemEachInFirstSetOrder) {
    constexpr int keys = 3000;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < keys; ++i) {
            const std::string key = "Key" + std::to_string(i);
            ASSERT_EQ(kv_set(list, key.c_str(), (key + "=" + std::to_string(round)).c_str()), 0);
        }
    }
    int position = 0;
    for (KeyValueNode* node = list->head; node != nullptr; node = node->next, ++position) {
        const auto* item = static_cast<const KeyValueItem*>(node->item);
        const std::string key = "Key" + std::to_string(keys - 1 - position);
        EXPECT_EQ(item->key, key);
        EXPECT_EQ(kv_get(list, key.c_str(), nullptr), item->value);
        EXPECT_EQ(std::string(item->value), key + "=1");
    }
    EXPECT_EQ(position, keys);
    EXPECT_STREQ(kv_get(list, "key7", "absent"), "absent");
    EXPECT_STREQ(kv_get(list, "Key", "absent"), "absent");
}

TEST_F(ListFixture, KeysAreCaseSensitiveAndNullArgumentsRefused) {
    ASSERT_EQ(kv_set(list, "autostart", "true"), 0);
    EXPECT_STREQ(kv_get(list, "AutoStart", "false"), "false");
    EXPECT_EQ(kv_set(list, nullptr, "x"), -1);
    EXPECT_EQ(kv_set(list, "x", nullptr), -1);
    EXPECT_EQ(kv_set(nullptr, "x", "y"), -1);
    EXPECT_EQ(kv_key_compare(nullptr, list_item_at(&list->head, 0)), -1);
    EXPECT_EQ(kv_key_compare("autostart", nullptr), -1);
}

TEST(GenericList, PositionsAndIdentity) {
    KeyValueNode* head = nullptr;
    int a = 1, b = 2;
    EXPECT_EQ(list_item_at(&head, 0), list_no_item);
    ASSERT_EQ(list_push_front(&head, &a), 0);
    ASSERT_EQ(list_push_front(&head, &b), 0);
    ASSERT_EQ(list_push_front(&head, nullptr), 0);
    EXPECT_EQ(list_item_at(&head, -1), list_no_item);
    EXPECT_EQ(list_item_at(&head, 0), nullptr);  // a stored null is not "none"
    EXPECT_EQ(list_item_at(&head, 2), &a);
    EXPECT_EQ(list_item_at(&head, 3), list_no_item);
    EXPECT_EQ(list_index_of(&head, &a), 2);
    int other = 1;
    EXPECT_EQ(list_find(&head, &other, nullptr), -1);  // identity, not equality
    int released = 0;
    static int* counter;
    counter = &released;
    list_clear(&head, [](void*) { ++*counter; });
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(released, 3);
}

std::string trimmed(std::string text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    char* result = trim_spaces(buffer.data());
    EXPECT_EQ(result, buffer.data());
    return result;
}

TEST(TrimSpaces, BothEndsAndOnlyAsciiWhiteSpace) {
    EXPECT_EQ(trimmed("  a b \r\n"), "a b");
    EXPECT_EQ(trimmed(" \t \t"), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("\v\fkey\v"), "key");
    EXPECT_EQ(trim_spaces(nullptr), nullptr);
    // 0xA0 is a no-break space in Latin-1 and 0x85 a next-line; neither is
    // white space here, whatever the sign of char.
    EXPECT_EQ(trimmed("\xA0x\x85"), "\xA0x\x85");
    EXPECT_EQ(trimmed(" \xFF "), "\xFF");
}

}  // namespace
