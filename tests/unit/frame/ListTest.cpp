// Handle list: numbering, wrap-around, full lists, look-ups and walks.
#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "handles/List.h"

namespace {

using Vellumcrest::Core::List;

struct Item {
    explicit Item(int id = 0, int* destroyed = nullptr) : id(id), destroyed(destroyed) {}
    ~Item() {
        if (destroyed != nullptr) ++*destroyed;
    }
    int id;
    int* destroyed;
};

using ItemList = List<Item>;

std::vector<unsigned long> walkForward(ItemList& list) {
    std::vector<unsigned long> handles;
    unsigned long handle = 0;
    for (Item* item = list.GetFirst(handle); item != nullptr; item = list.GetNext(handle))
        handles.push_back(handle);
    EXPECT_EQ(handle, 0u);
    return handles;
}

std::vector<unsigned long> walkBackward(ItemList& list) {
    std::vector<unsigned long> handles;
    unsigned long handle = 0;
    for (Item* item = list.GetLast(handle); item != nullptr; item = list.GetPrev(handle))
        handles.push_back(handle);
    EXPECT_EQ(handle, 0u);
    return handles;
}

// Advances the numbering to `last` by adding and removing one element at a time.
void advanceTo(ItemList& list, Item* item, unsigned long last) {
    for (;;) {
        unsigned long handle = list.Add(item);
        ASSERT_NE(handle, 0u);
        list.Remove(handle);
        if (handle == last) return;
        ASSERT_LT(handle, last);
    }
}

static_assert(!std::is_copy_constructible<ItemList>::value, "a copy would share nodes");
static_assert(!std::is_copy_assignable<ItemList>::value, "a copy would share nodes");

TEST(List, EmptyListNullAndZeroAreNeverElements) {
    ItemList list;
    unsigned long handle = 77;
    EXPECT_EQ(list.GetFirst(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    handle = 77;
    EXPECT_EQ(list.GetLast(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(list.FindObject(0), nullptr);
    EXPECT_EQ(list.FindHandle(-1), 0u);
    EXPECT_EQ(list.Add(nullptr), 0u);
    EXPECT_EQ(list.GetCount(), 0);
    Item a;
    EXPECT_EQ(list.Add(&a), 1u);  // the rejected null did not use up a handle
    EXPECT_FALSE(list.VerifyHandle(0));
    EXPECT_EQ(list.FindObject(0ul), nullptr);
    EXPECT_EQ(list.FindHandle(static_cast<Item*>(nullptr)), 0u);
}

TEST(List, RemoveFixesLinksAndFreedHandlesAreNotReusedBeforeWrap) {
    ItemList list;
    Item items[5];
    for (int i = 0; i < 4; ++i) EXPECT_EQ(list.Add(&items[i]), i + 1u);
    unsigned long handle = 0;
    EXPECT_EQ(list.GetFirst(handle), &items[0]);
    EXPECT_EQ(list.GetNext(handle), &items[1]);
    EXPECT_EQ(handle, 2u);
    // Past either end, or from an unknown handle, the walk stops and clears the handle.
    for (unsigned long start : {0ul, 42ul, 4ul}) {
        handle = start;
        EXPECT_EQ(list.GetNext(handle), nullptr);
        EXPECT_EQ(handle, 0u);
    }
    handle = 1;
    EXPECT_EQ(list.GetPrev(handle), nullptr);
    list.Remove(2);  // middle
    EXPECT_FALSE(list.VerifyHandle(2));
    EXPECT_EQ(list.Add(&items[4]), 5u);
    list.Remove(1);  // head
    list.Remove(5);  // tail
    list.Remove(0);
    list.Remove(99);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{3, 4}));
    EXPECT_EQ(walkBackward(list), (std::vector<unsigned long>{4, 3}));
    list.Remove(3);
    list.Remove(4);
    EXPECT_EQ(list.GetCount(), 0);
    // Removing an element's handle never deletes the element.
    EXPECT_EQ(list.Add(&items[0]), 6u);
}

TEST(List, RemoveAllAndDestroyAllKeepTheNumbering) {
    ItemList list;
    int destroyed = 0;
    Item a(1, &destroyed);
    list.Add(&a);
    list.RemoveAll();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(walkForward(list), std::vector<unsigned long>{});
    Item* removed = new Item(2, &destroyed);
    EXPECT_EQ(list.Add(new Item(3, &destroyed)), 2u);
    list.Add(removed);
    list.Add(new Item(4, &destroyed));
    list.Remove(3);
    list.RemoveAndDestroyAll();
    EXPECT_EQ(destroyed, 2);  // the removed element is no longer the list's
    delete removed;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.Add(&a), 5u);
}

TEST(List, LookUpsByElementAndByIndex) {
    ItemList list;
    Item a, b, c;
    list.Add(&c);
    list.Add(&a);
    list.Add(&a);
    EXPECT_EQ(list.FindHandle(&a), 2u);  // the first one from the head
    list.Remove(2);
    EXPECT_EQ(list.FindHandle(&a), 3u);
    Item stranger;
    EXPECT_EQ(list.FindHandle(&stranger), 0u);
    list.Remove(1);
    list.Add(&b);  // handle 4, at the tail
    EXPECT_EQ(list.FindObject(0), &a);
    EXPECT_EQ(list.FindObject(1), &b);
    EXPECT_EQ(list.FindHandle(1), 4u);
    EXPECT_EQ(list.FindObject(-1), nullptr);
    EXPECT_EQ(list.FindObject(2), nullptr);
    EXPECT_EQ(list.FindHandle(2), 0u);
}

TEST(List, WalkEndsWhenTheCurrentElementWasRemoved) {
    ItemList list;
    Item a, b, c;
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    unsigned long handle = 0;
    list.GetFirst(handle);
    EXPECT_EQ(list.GetNext(handle), &b);
    list.Remove(handle);
    EXPECT_EQ(list.GetNext(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{1, 3}));
}

TEST(List, NumberingWrapsAfter65535ToTheLowestFreeHandle) {
    ItemList list;
    Item a, b, c, e;
    list.Add(&a);  // 1
    advanceTo(list, &e, 65534);
    EXPECT_EQ(list.Add(&b), 65535u);
    // The search past the top starts again at the bottom, skipping used handles.
    EXPECT_EQ(list.Add(&c), 2u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{1, 65535, 2}));
    list.Remove(65535);
    EXPECT_EQ(list.Add(&e), 3u) << "the numbering goes on from the handle last given";
}

// A list with a small range, to fill it completely.
class SmallList : public ItemList {
public:
    SmallList(uint32_t lowest, uint32_t highest) : ItemList(lowest, highest) {}
};

TEST(List, FullListGivesZeroAndZeroIsNeverGiven) {
    SmallList list(10, 14);
    Item items[6];
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list.Add(&items[i]), 10u + i);
    EXPECT_EQ(list.Add(&items[5]), 0u);
    EXPECT_FALSE(list.VerifyHandle(9));
    EXPECT_FALSE(list.VerifyHandle(15));
    list.Remove(12);  // a freed place is found after the wrap
    EXPECT_EQ(list.Add(&items[5]), 12u);
    EXPECT_EQ(list.Add(&items[5]), 0u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{10, 11, 13, 14, 12}));

    SmallList fromZero(0, 2);
    EXPECT_EQ(fromZero.Add(&items[0]), 1u);
    EXPECT_EQ(fromZero.Add(&items[1]), 2u);
    EXPECT_EQ(fromZero.Add(&items[2]), 0u);
    EXPECT_EQ(fromZero.GetCount(), 2);
}

}  // namespace
