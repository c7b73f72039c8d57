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

TEST(List, FreshListIsEmpty) {
    ItemList list;
    unsigned long handle = 77;
    EXPECT_EQ(list.GetFirst(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    handle = 77;
    EXPECT_EQ(list.GetLast(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_FALSE(list.VerifyHandle(1));
    EXPECT_EQ(list.FindObject(0), nullptr);
    EXPECT_EQ(list.FindHandle(0), 0u);
    EXPECT_EQ(list.FindObject(1ul), nullptr);
}

TEST(List, HandlesRiseAndWalkInInsertionOrder) {
    ItemList list;
    Item a(1), b(2), c(3);
    EXPECT_EQ(list.Add(&a), 1u);
    EXPECT_EQ(list.Add(&b), 2u);
    EXPECT_EQ(list.Add(&c), 3u);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{1, 2, 3}));
    EXPECT_EQ(walkBackward(list), (std::vector<unsigned long>{3, 2, 1}));

    unsigned long handle = 0;
    EXPECT_EQ(list.GetFirst(handle), &a);
    EXPECT_EQ(list.GetNext(handle), &b);
    EXPECT_EQ(handle, 2u);
    EXPECT_EQ(list.GetLast(handle), &c);
    EXPECT_EQ(handle, 3u);
    // Past either end the walk stops and clears the handle.
    EXPECT_EQ(list.GetNext(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    handle = 1;
    EXPECT_EQ(list.GetPrev(handle), nullptr);
    EXPECT_EQ(handle, 0u);
    handle = 0;
    EXPECT_EQ(list.GetNext(handle), nullptr);
    handle = 42;
    EXPECT_EQ(list.GetNext(handle), nullptr);
    EXPECT_EQ(handle, 0u);
}

TEST(List, FreedHandleIsNotReusedBeforeWrap) {
    ItemList list;
    Item a, b, c, d;
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    list.Remove(2);
    EXPECT_FALSE(list.VerifyHandle(2));
    EXPECT_EQ(list.Add(&d), 4u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{1, 3, 4}));
    EXPECT_EQ(walkBackward(list), (std::vector<unsigned long>{4, 3, 1}));
    EXPECT_EQ(list.GetCount(), 3);
}

TEST(List, RemoveFixesHeadTailAndNeighbours) {
    ItemList list;
    Item items[4];
    for (Item& item : items) list.Add(&item);
    list.Remove(1);  // head
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{2, 3, 4}));
    list.Remove(4);  // tail
    EXPECT_EQ(walkBackward(list), (std::vector<unsigned long>{3, 2}));
    list.Remove(0);
    list.Remove(99);
    EXPECT_EQ(list.GetCount(), 2);
    list.Remove(2);
    list.Remove(3);
    EXPECT_EQ(list.GetCount(), 0);
    unsigned long handle = 9;
    EXPECT_EQ(list.GetFirst(handle), nullptr);
    EXPECT_EQ(list.GetLast(handle), nullptr);
    // Removing an element's handle never deletes the element.
    EXPECT_EQ(list.Add(&items[0]), 5u);
}

TEST(List, NullAndZeroAreNeverElements) {
    ItemList list;
    EXPECT_EQ(list.Add(nullptr), 0u);
    EXPECT_EQ(list.GetCount(), 0);
    Item a;
    EXPECT_EQ(list.Add(&a), 1u);  // the rejected null did not use up a handle
    EXPECT_FALSE(list.VerifyHandle(0));
    EXPECT_EQ(list.FindObject(0ul), nullptr);
    EXPECT_EQ(list.FindHandle(static_cast<Item*>(nullptr)), 0u);
}

TEST(List, RemoveAllKeepsTheNumbering) {
    ItemList list;
    int destroyed = 0;
    Item a(1, &destroyed), b(2, &destroyed);
    list.Add(&a);
    list.Add(&b);
    list.RemoveAll();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_FALSE(list.VerifyHandle(1));
    EXPECT_EQ(walkForward(list), std::vector<unsigned long>{});
    EXPECT_EQ(list.Add(&a), 3u);
}

TEST(List, RemoveAndDestroyAllDeletesElementsAndKeepsTheNumbering) {
    ItemList list;
    int destroyed = 0;
    Item* removed = new Item(2, &destroyed);
    list.Add(new Item(1, &destroyed));
    list.Add(removed);
    list.Add(new Item(3, &destroyed));
    list.Remove(2);
    EXPECT_EQ(destroyed, 0);
    list.RemoveAndDestroyAll();
    EXPECT_EQ(destroyed, 2);  // the removed element is no longer the list's
    delete removed;
    EXPECT_EQ(list.GetCount(), 0);
    Item d;
    EXPECT_EQ(list.Add(&d), 4u);
}

TEST(List, SameElementTwiceHasTwoHandles) {
    ItemList list;
    Item a, b;
    EXPECT_EQ(list.Add(&b), 1u);
    EXPECT_EQ(list.Add(&a), 2u);
    EXPECT_EQ(list.Add(&a), 3u);
    EXPECT_EQ(list.FindHandle(&a), 2u);  // the first one from the head
    list.Remove(2);
    EXPECT_EQ(list.FindHandle(&a), 3u);
    EXPECT_EQ(list.FindObject(3ul), &a);
    Item stranger;
    EXPECT_EQ(list.FindHandle(&stranger), 0u);
}

TEST(List, IndexLookUps) {
    ItemList list;
    EXPECT_EQ(list.FindObject(0), nullptr);
    EXPECT_EQ(list.FindHandle(-1), 0u);
    Item a, b, c;
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    list.Remove(1);
    Item d;
    list.Add(&d);  // handle 4, at the tail
    EXPECT_EQ(list.FindObject(0), &b);
    EXPECT_EQ(list.FindObject(1), &c);
    EXPECT_EQ(list.FindObject(2), &d);
    EXPECT_EQ(list.FindHandle(0), 2u);
    EXPECT_EQ(list.FindHandle(2), 4u);
    EXPECT_EQ(list.FindObject(-1), nullptr);
    EXPECT_EQ(list.FindObject(3), nullptr);
    EXPECT_EQ(list.FindHandle(3), 0u);
    EXPECT_EQ(list.FindHandle(-100), 0u);
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

TEST(List, WrapsAroundAfter65535) {
    ItemList list;
    Item a, b, c, e;
    list.Add(&a);  // 1
    list.Add(&b);  // 2
    advanceTo(list, &e, 65535);
    EXPECT_EQ(list.GetCount(), 2);
    // Next search starts again at the bottom and takes the first free handle.
    EXPECT_EQ(list.Add(&c), 3u);
    EXPECT_EQ(list.Add(&e), 4u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{1, 2, 3, 4}));
}

TEST(List, SearchPastTopWrapsToLowestFreeHandle) {
    ItemList list;
    Item a, b, c;
    advanceTo(list, &a, 65533);
    EXPECT_EQ(list.Add(&a), 65534u);
    EXPECT_EQ(list.Add(&b), 65535u);
    EXPECT_EQ(list.Add(&c), 1u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{65534, 65535, 1}));
    // The numbering goes on from the handle last given, skipping used ones.
    list.Remove(65534);
    EXPECT_EQ(list.Add(&a), 2u);
}

// A list with a small range, to fill it completely.
class SmallList : public ItemList {
public:
    SmallList(uint32_t lowest, uint32_t highest) : ItemList(lowest, highest) {}
};

TEST(List, FullListGivesZero) {
    SmallList list(10, 14);
    Item items[6];
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list.Add(&items[i]), 10u + i);
    EXPECT_EQ(list.Add(&items[5]), 0u);
    EXPECT_EQ(list.GetCount(), 5);
    EXPECT_FALSE(list.VerifyHandle(9));
    EXPECT_FALSE(list.VerifyHandle(15));
    // A freed place is found after the wrap.
    list.Remove(12);
    EXPECT_EQ(list.Add(&items[5]), 12u);
    EXPECT_EQ(list.Add(&items[5]), 0u);
    EXPECT_EQ(walkForward(list), (std::vector<unsigned long>{10, 11, 13, 14, 12}));
}

TEST(List, RangeStartingAtZeroNeverGivesZero) {
    SmallList list(0, 2);
    Item a, b, c;
    EXPECT_EQ(list.Add(&a), 1u);
    EXPECT_EQ(list.Add(&b), 2u);
    EXPECT_EQ(list.Add(&c), 0u);
    EXPECT_EQ(list.GetCount(), 2);
}

}  // namespace
